// ym2608-console: exercises a YM2608 sound board on a serial port. It takes no
// command-line arguments; everything is typed at its prompt.
#include "app/console.h"

int main()
{
    runConsole();
    return 0;
}
