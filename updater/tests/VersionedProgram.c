/* A program that does nothing; the build gives copies of it the versions the tests need. */
int main(void) { return 0; }
