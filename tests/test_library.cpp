// A shared library for the end-to-end tests: a download that is a library
// rather than a program, and what needs_test_library links against.

int KestrinTestLibraryValue()
{
    return 42;
}
