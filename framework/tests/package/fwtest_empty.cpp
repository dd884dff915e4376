// vtro_fwempty.pck: a package that holds the framework and no component. Its
// registry has no group, so the count query answers -1.
namespace fwtest {
int EmptyPackageAnchor() { return 0; }
}  // namespace fwtest
