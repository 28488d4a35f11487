# Turns a 2048-byte key file into a C++ array: OUT_DIR/BASENAME.h and OUT_DIR/BASENAME.cpp
# defining `extern const unsigned char SYMBOL[2048]`. Only the DER key at the start of the
# file is copied; the rest is zero filler.
#
# cmake -DKEY_FILE=... -DKIND=public|private -DSYMBOL=... -DBASENAME=... -DOUT_DIR=...
#       [-DCOMMENT=...] -P EmbedKey.cmake
foreach(_var KEY_FILE KIND SYMBOL BASENAME OUT_DIR)
  if(NOT DEFINED ${_var})
    message(FATAL_ERROR "EmbedKey.cmake: ${_var} is not set")
  endif()
endforeach()

if(NOT EXISTS "${KEY_FILE}")
  message(FATAL_ERROR "Key file ${KEY_FILE} does not exist")
endif()
file(SIZE "${KEY_FILE}" _size)
if(NOT _size EQUAL 2048)
  message(FATAL_ERROR "Key file ${KEY_FILE} is ${_size} bytes; a key file is exactly 2048 bytes")
endif()
file(READ "${KEY_FILE}" _hex HEX)
string(TOLOWER "${_hex}" _hex)

# The DER SEQUENCE header gives the key's length.
string(SUBSTRING "${_hex}" 0 2 _tag)
string(SUBSTRING "${_hex}" 2 2 _len0)
if(NOT _tag STREQUAL "30")
  message(FATAL_ERROR "Key file ${KEY_FILE} does not start with a DER-encoded RSA key")
endif()
if(_len0 STREQUAL "81")
  string(SUBSTRING "${_hex}" 4 2 _l)
  math(EXPR _der_len "0x${_l} + 3")
  set(_header 3)
elseif(_len0 STREQUAL "82")
  string(SUBSTRING "${_hex}" 4 4 _l)
  math(EXPR _der_len "0x${_l} + 4")
  set(_header 4)
else()
  math(EXPR _der_len "0x${_len0} + 2")
  set(_header 2)
endif()
if(_der_len GREATER 2048)
  message(FATAL_ERROR "Key file ${KEY_FILE} holds no valid DER key")
endif()

# RSAPrivateKey starts with the version INTEGER 0; RSAPublicKey with the modulus.
math(EXPR _first_off "${_header} * 2")
string(SUBSTRING "${_hex}" ${_first_off} 6 _first)
if(_first STREQUAL "020100")
  set(_is_private TRUE)
else()
  set(_is_private FALSE)
endif()
if(KIND STREQUAL "public" AND _is_private)
  message(FATAL_ERROR "Key file ${KEY_FILE} is a private key; only the public key file may be built into the program")
elseif(KIND STREQUAL "private" AND NOT _is_private)
  message(FATAL_ERROR "Key file ${KEY_FILE} is a public key; a private key file is needed here")
endif()

math(EXPR _der_hex_len "${_der_len} * 2")
string(SUBSTRING "${_hex}" 0 ${_der_hex_len} _der)
math(EXPR _filler "2048 - ${_der_len}")
string(REPEAT "00" ${_filler} _zeros)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," _bytes "${_der}${_zeros}")
string(REPEAT "0x[0-9a-f][0-9a-f]," 16 _row)
string(REGEX REPLACE "(${_row})" "    \\1\n" _bytes "${_bytes}")

if(NOT DEFINED COMMENT)
  set(COMMENT "Key in the 2048-byte key file layout")
endif()
string(TOUPPER "${BASENAME}_H" _guard)

set(_h "// Generated from ${KEY_FILE}; do not edit.
#ifndef ${_guard}
#define ${_guard}

// ${COMMENT}
extern const unsigned char ${SYMBOL}[2048];

#endif
")
set(_cpp "// Generated from ${KEY_FILE}; do not edit.
#include \"${BASENAME}.h\"

extern const unsigned char ${SYMBOL}[2048] = {
${_bytes}};
")

# Write only on change, so an unchanged key does not rebuild its users.
file(MAKE_DIRECTORY "${OUT_DIR}")
foreach(_ext h cpp)
  file(WRITE "${OUT_DIR}/${BASENAME}.${_ext}.tmp" "${_${_ext}}")
  file(COPY_FILE "${OUT_DIR}/${BASENAME}.${_ext}.tmp" "${OUT_DIR}/${BASENAME}.${_ext}" ONLY_IF_DIFFERENT)
  file(REMOVE "${OUT_DIR}/${BASENAME}.${_ext}.tmp")
endforeach()
