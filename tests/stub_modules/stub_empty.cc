// A module without any entry point, for the missing-symbol paths.
extern "C" int stub_empty_marker() { return 0; }
