// The owner of the test programs' precompiled header; never run.
int main() { return 0; }
