// A shared library with nothing in it, installed under another library's name to stand for a
// broken installation of that library.
int quorvaneEmptyLibrary;
