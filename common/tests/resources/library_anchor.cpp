// The one source of the static test library that carries a resource: nothing in the tests refers to
// it, so only the resource build step can bring the library's resource into the test program.
namespace kn::testing {
int libraryAnchor() { return 0; }
}  // namespace kn::testing
