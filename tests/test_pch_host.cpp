// The program that owns the test programs' precompiled header; it is built only for that header.
int main() { return 0; }
