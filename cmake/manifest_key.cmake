# Turns the PEM public keys named by VARNIX_MANIFEST_PUBLIC_KEY (one, or two separated by ";":
# the current key and the next one while the signing key is rotated) into the constant table the
# launcher verifies manifest.txt with: per key a 3-byte exponent and a 384-byte modulus,
# big-endian, and its fingerprint. Accepts "BEGIN PUBLIC KEY" (openssl rsa -pubout) and
# "BEGIN RSA PUBLIC KEY" (PKCS #1).
function(varnix_embed_manifest_key pems output)
    list(LENGTH pems key_count)
    if(key_count LESS 1 OR key_count GREATER 2)
        message(FATAL_ERROR "VARNIX_MANIFEST_PUBLIC_KEY: one or two PEM files separated by ; (got ${key_count})")
    endif()
    set(entries "")
    set(index 0)
    foreach(pem IN LISTS pems)
        varnix_read_manifest_key("${pem}" "${output}.${index}" entry)
        string(FIND "${entries}" "${entry}" seen)
        if(NOT seen EQUAL -1)
            message(FATAL_ERROR "VARNIX_MANIFEST_PUBLIC_KEY: ${pem} repeats the other key")
        endif()
        string(APPEND entries "${entry}")
        math(EXPR index "${index} + 1")
    endforeach()
    file(WRITE "${output}.tmp"
"#pragma once
// Generated from ${pems}: the manifest signature public keys (RSA-3072, big-endian), the
// current one first.
struct ManifestKey {
    unsigned char exponent[3];
    unsigned char modulus[384];
    const char* fingerprint;
};
inline constexpr ManifestKey kManifestKeys[] = {
${entries}};
")
    file(COPY_FILE "${output}.tmp" "${output}" ONLY_IF_DIFFERENT)
endfunction()

# One key's table entry; `scratch` names the DER file its fingerprint is computed from.
function(varnix_read_manifest_key pem scratch result)
    if(NOT EXISTS "${pem}")
        message(FATAL_ERROR "VARNIX_MANIFEST_PUBLIC_KEY: no such file: ${pem}")
    endif()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${pem}")
    find_program(OPENSSL_COMMAND openssl REQUIRED)
    file(READ "${pem}" pem_text)
    if(pem_text MATCHES "BEGIN RSA PUBLIC KEY")
        set(input_form -RSAPublicKey_in)
    else()
        set(input_form -pubin)
    endif()
    execute_process(COMMAND ${OPENSSL_COMMAND} rsa ${input_form} -in "${pem}" -noout -text
                    RESULT_VARIABLE status OUTPUT_VARIABLE text ERROR_VARIABLE error)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "VARNIX_MANIFEST_PUBLIC_KEY: ${pem} is not a PEM RSA public key:\n${error}")
    endif()
    if(NOT text MATCHES "Public-Key: \\(([0-9]+) bit\\)" OR NOT CMAKE_MATCH_1 EQUAL 3072)
        message(FATAL_ERROR "VARNIX_MANIFEST_PUBLIC_KEY: ${pem} must be an RSA key of 3072 bits")
    endif()
    if(NOT text MATCHES "Exponent: ([0-9]+)")
        message(FATAL_ERROR "VARNIX_MANIFEST_PUBLIC_KEY: no public exponent in ${pem}")
    endif()
    set(exponent ${CMAKE_MATCH_1})
    if(exponent LESS 65536 OR exponent GREATER 16777215)
        message(FATAL_ERROR "VARNIX_MANIFEST_PUBLIC_KEY: the public exponent ${exponent} is not 3 bytes long")
    endif()
    math(EXPR exponent_hex "${exponent}" OUTPUT_FORMAT HEXADECIMAL)
    string(REGEX REPLACE "^0x" "" exponent_hex "${exponent_hex}")
    string(LENGTH "${exponent_hex}" exponent_length)
    if(exponent_length EQUAL 5)
        set(exponent_hex "0${exponent_hex}")
    endif()

    execute_process(COMMAND ${OPENSSL_COMMAND} rsa ${input_form} -in "${pem}" -noout -modulus
                    RESULT_VARIABLE status OUTPUT_VARIABLE modulus_line ERROR_VARIABLE error)
    string(REGEX REPLACE "^Modulus=([0-9A-Fa-f]+).*$" "\\1" modulus_hex "${modulus_line}")
    string(LENGTH "${modulus_hex}" modulus_length)
    if(NOT status EQUAL 0 OR NOT modulus_length EQUAL 768)
        message(FATAL_ERROR "VARNIX_MANIFEST_PUBLIC_KEY: cannot read a 384-byte modulus from ${pem}")
    endif()

    # The fingerprint the launcher files its stored serial under, as release.sh prints it:
    # SHA-256 of the DER SubjectPublicKeyInfo, lower-case hex.
    get_filename_component(scratch_dir "${scratch}" DIRECTORY)
    file(MAKE_DIRECTORY "${scratch_dir}")
    execute_process(COMMAND ${OPENSSL_COMMAND} rsa ${input_form} -in "${pem}" -pubout -outform DER
                            -out "${scratch}.der"
                    RESULT_VARIABLE status ERROR_VARIABLE error)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "VARNIX_MANIFEST_PUBLIC_KEY: cannot convert ${pem} to DER:\n${error}")
    endif()
    file(SHA256 "${scratch}.der" fingerprint)

    string(REGEX REPLACE "([0-9A-Fa-f][0-9A-Fa-f])" "0x\\1," exponent_bytes "${exponent_hex}")
    string(REGEX REPLACE "([0-9A-Fa-f][0-9A-Fa-f])" "0x\\1," modulus_bytes "${modulus_hex}")
    set(${result} "    {{${exponent_bytes}}, {${modulus_bytes}}, \"${fingerprint}\"},\n" PARENT_SCOPE)
endfunction()
