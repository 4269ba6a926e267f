# Thin front end; the bench script does the work.
.PHONY: test demo build bootstrap
test:
	scripts/bench.sh test
demo:
	scripts/bench.sh demo
build:
	scripts/bench.sh build
bootstrap:
	scripts/bench.sh bootstrap
