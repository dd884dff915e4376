// A shared library that is not a package: it has no entry points.
extern "C" __attribute__((visibility("default"))) int NotAPackage() { return 1; }
