// Compiled only to make the tests' precompiled header.
int main() { return 0; }
