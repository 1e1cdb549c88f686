# Checks what the tervala program took from the archives it links statically:
#   cmake -DPROGRAM=bin/tervala -DREADELF=... -DNM=... -DSTATIC_CRYPTO=ON|OFF -DSTATIC_CXX_RUNTIME=ON|OFF -P THIS
# From libcrypto.a it may take the hashes only. Anything that initialises OpenSSL (EVP, providers,
# error queues, TLS, certificates, the configuration file) would make the program run a private
# copy of that code, out of reach of the distribution's security updates of libssl3; a command
# that needs it belongs in tervala-token.
execute_process(COMMAND ${READELF} -d ${PROGRAM} OUTPUT_VARIABLE dynamic COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "Shared library: \\[[^]]+\\]" needed "${dynamic}")
set(faults "")
if(STATIC_CRYPTO)
  if(needed MATCHES "libcrypto")
    list(APPEND faults "it still loads libcrypto.so")
  endif()
  execute_process(COMMAND ${NM} ${PROGRAM} OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
  foreach(symbol OPENSSL_init_crypto EVP_MD_fetch EVP_MAC_fetch ERR_new CONF_modules_load_file SSL_new X509_new)
    if(symbols MATCHES " ${symbol}\n")
      list(APPEND faults "it holds libcrypto's ${symbol}: more than the hashes came from libcrypto.a")
    endif()
  endforeach()
endif()
if(STATIC_CXX_RUNTIME)
  # A C++ shared library would bring the shared C++ runtime in beside the program's own copy;
  # SQLite (the book's codes) is C.
  foreach(entry IN LISTS needed)
    if(NOT entry MATCHES "\\[(libc\\.so|libm\\.so|ld-linux|libcrypto\\.so|libsqlite3\\.so)")
      list(APPEND faults "it loads a shared library beside the C ones: ${entry}")
    endif()
  endforeach()
endif()
if(faults)
  string(JOIN "\n  " text ${faults})
  message(FATAL_ERROR "${PROGRAM} (${needed}):\n  ${text}")
endif()
