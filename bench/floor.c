/* The least any such helper can do: start, open the two frameworks by
   their paths (the stand-ins, under the simulated platform) and print one
   line. calvex's start-up is measured against this. */
#include <dlfcn.h>
#include <stdio.h>

int main(void)
{
    void* core_foundation = dlopen("/System/Library/Frameworks/CoreFoundation.framework/CoreFoundation", 1);
    void* iokit = dlopen("/System/Library/Frameworks/IOKit.framework/IOKit", 1);
    puts(core_foundation != NULL && iokit != NULL ? "{\"sensors\":[]}" : "{\"error\":\"IOKit not available\"}");
    return 0;
}
