// The start-up reference: a program built with the helper's flags and linked to the helper's
// libraries, which does nothing. What the helper takes beyond it to start and end a one-shot run
// is the helper's own start-up; loading libcrypto and the rest is charged to both alike.
int main() { return 5; }
