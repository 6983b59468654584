// A program with no version resource, for the tests of the version reader.
int main() { return 0; }
