// Where a looked-up address goes: into a function slot, as dlsym gave it.
#ifndef CALVEX_SYMBOL_ADDRESS_H
#define CALVEX_SYMBOL_ADDRESS_H

#include <string.h>

// A function pointer and the object pointer dlsym returns share one
// representation on every platform the tools run on; copying the bytes
// says so without a cast between the two kinds of pointer.
inline void store_symbol_address(void* slot, void* address)
{
    memcpy(slot, &address, sizeof address);
}

#endif
