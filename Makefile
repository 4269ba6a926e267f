# Thin front end; the bench script does the work.
.PHONY: test demo build bootstrap release bench fuzz reliability soak mutants
test:
	scripts/bench.sh test
demo:
	scripts/bench.sh demo
build:
	scripts/bench.sh build
fuzz:
	scripts/bench.sh fuzz
reliability:
	scripts/bench.sh reliability
bench:
	scripts/bench.sh bench
bootstrap:
	scripts/bench.sh bootstrap
# make release HOST=update.example.com KEY=keys/manifest-public.pem [VERSION=a.b.c.d]
#   [SIGN_CERT=chain.pem SIGN_KEY=k.pem|pkcs11:URI [SIGN_ROOT=root.pem]
#   [PKCS11_MODULE=lib.so SIGN_PIN_FILE=f] TIMESTAMP=url]
# While the manifest key is rotated, KEY="current.pem;next.pem" (quoted: the shell splits at ;).
release:
	scripts/bench.sh bootstrap
	scripts/release.sh --host "$(HOST)" --key "$(KEY)" $(if $(VERSION),--version "$(VERSION)") \
		$(if $(SIGN_CERT),--sign-cert "$(SIGN_CERT)" --sign-key "$(SIGN_KEY)") \
		$(if $(SIGN_ROOT),--sign-root "$(SIGN_ROOT)") \
		$(if $(PKCS11_MODULE),--pkcs11-module "$(PKCS11_MODULE)") \
		$(if $(SIGN_PIN_FILE),--sign-pin-file "$(SIGN_PIN_FILE)") \
		$(if $(TIMESTAMP),--timestamp "$(TIMESTAMP)")
# make soak [RUNS=10] [SOAK_LOAD=0]: the end-to-end suite RUNS times on a busy machine
soak:
	scripts/bench.sh soak
# make mutants: each deliberate fault of tests/mutants/mutants.py must fail a test
mutants:
	scripts/bench.sh mutants
