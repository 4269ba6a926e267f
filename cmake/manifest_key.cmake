# Turns the PEM public key named by VARNIX_MANIFEST_PUBLIC_KEY into the two constant arrays the
# launcher verifies manifest.txt with: a 3-byte exponent and a 384-byte modulus, big-endian.
# Accepts "BEGIN PUBLIC KEY" (openssl rsa -pubout) and "BEGIN RSA PUBLIC KEY" (PKCS #1).
function(varnix_embed_manifest_key pem output)
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
    get_filename_component(output_dir "${output}" DIRECTORY)
    file(MAKE_DIRECTORY "${output_dir}")
    execute_process(COMMAND ${OPENSSL_COMMAND} rsa ${input_form} -in "${pem}" -pubout -outform DER
                            -out "${output}.der"
                    RESULT_VARIABLE status ERROR_VARIABLE error)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "VARNIX_MANIFEST_PUBLIC_KEY: cannot convert ${pem} to DER:\n${error}")
    endif()
    file(SHA256 "${output}.der" fingerprint)

    string(REGEX REPLACE "([0-9A-Fa-f][0-9A-Fa-f])" "0x\\1," exponent_bytes "${exponent_hex}")
    string(REGEX REPLACE "([0-9A-Fa-f][0-9A-Fa-f])" "0x\\1," modulus_bytes "${modulus_hex}")
    file(WRITE "${output}.tmp"
"#pragma once
// Generated from ${pem}: the manifest signature public key (RSA-3072, big-endian).
inline constexpr unsigned char kManifestKeyExponent[3] = {${exponent_bytes}};
inline constexpr unsigned char kManifestKeyModulus[384] = {${modulus_bytes}};
inline constexpr char kManifestKeyFingerprint[] = \"${fingerprint}\";
")
    file(COPY_FILE "${output}.tmp" "${output}" ONLY_IF_DIFFERENT)
endfunction()
