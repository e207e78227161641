// A stand-in for a TLS library file: it reports the version it was built with and has no
// other entry point, so the loader's version check and entry-point look-up can be driven.
extern "C" unsigned long OpenSSL_version_num() { return TAMVIREL_FAKE_VERSION; }
