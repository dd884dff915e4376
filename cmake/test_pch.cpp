// Compiles the test programs' precompiled headers (cmake/QtuTesting.cmake);
// the program itself does nothing.
int main() { return 0; }
