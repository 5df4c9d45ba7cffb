// Calls abort() at once: the process must end with status 255.
#include <stdlib.h>

int main() { abort(); }
