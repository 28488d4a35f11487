# The program verifies the product ini with a public key built into it. Publishers build
# with their own key file; the default development pair is for development and tests only.
set(CORVANE_PUBLIC_KEY_FILE "${CMAKE_SOURCE_DIR}/keys/development-public.key" CACHE FILEPATH
    "Public key file (2048-byte key file layout) built into the updater as PUBLIC_KEY")

# Generates ${CMAKE_BINARY_DIR}/generated/BASENAME.{h,cpp} from KEY_FILE at build time,
# again whenever the key file changes, and adds them to TARGET.
if(NOT EXISTS "${CORVANE_PUBLIC_KEY_FILE}")
  message(FATAL_ERROR "CORVANE_PUBLIC_KEY_FILE: ${CORVANE_PUBLIC_KEY_FILE} does not exist")
endif()

function(corvane_embed_key target key_file kind symbol basename comment)
  set(_out "${CMAKE_BINARY_DIR}/generated")
  add_custom_command(
      OUTPUT ${_out}/${basename}.h ${_out}/${basename}.cpp
      COMMAND ${CMAKE_COMMAND} -DKEY_FILE=${key_file} -DKIND=${kind} -DSYMBOL=${symbol}
              -DBASENAME=${basename} -DOUT_DIR=${_out} "-DCOMMENT=${comment}"
              -P ${CMAKE_SOURCE_DIR}/cmake/EmbedKey.cmake
      DEPENDS ${key_file} ${CMAKE_SOURCE_DIR}/cmake/EmbedKey.cmake
      COMMENT "Embedding ${kind} key ${key_file}"
      VERBATIM)
  target_sources(${target} PRIVATE ${_out}/${basename}.h ${_out}/${basename}.cpp)
endfunction()

corvane_embed_key(corvane "${CORVANE_PUBLIC_KEY_FILE}" public PUBLIC_KEY publickey
    "Public half of the key that signs the product ini, in the 2048-byte key file layout.")
