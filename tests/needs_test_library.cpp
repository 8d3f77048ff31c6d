// A program that needs test_library's shared library. It is linked without
// a search path leading back to the build folder, so that once copied
// anywhere the system's loader cannot find the library and ends it (status
// 127) before its first instruction.

int KestrinTestLibraryValue();

int main()
{
    return KestrinTestLibraryValue() == 42 ? 0 : 1;
}
