/* A program outside the ycan tree, built against an installed libycan. */
#include <stdio.h>
#include <string.h>

#include <ycan.h>

int main(void) {
    /* No adapter is attached: the open of a CAN FD adapter fails with last
     * error 1. */
    if (YCAN_OpenDevice(43, 0) != 0) return 1;
    const char* why = YCAN_GetLastErrorStr();
    printf("consumer: open failed as expected: %u %s\n", (unsigned)YCAN_GetLastError(), why);
    return YCAN_GetLastError() == 1 && why != NULL && strcmp(why, "Device Not Exist!") == 0 ? 0 : 1;
}
