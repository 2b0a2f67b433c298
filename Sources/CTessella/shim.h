/* The C ABI as the Swift package's system library module CTessella. */
#include <tessella/tessella.h>
