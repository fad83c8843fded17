/* Includes every public header of the toolkit in a C translation unit and calls into each, so a
 * C++-only construct in a header, or a missing extern "C", fails the build or the link. */
#include <MvCameraControl.h>
#include <camsim.h>
#include <logfromgo.h>
#include <swapi.h>
#include <swlog.h>
#include <swstring.h>

#include <stdio.h>
#include <string.h>

int main(void) {
    char stamp[64];
    unsigned long tick = 0;
    MV_CC_DEVICE_INFO_LIST list;
    memset(&list, 0, sizeof list);
    if (xstrcasecmp("Hikrobot", "HIKROBOT") != 0) return 1;
    if (xstrgettime(stamp, "datetime") == NULL || strlen(stamp) != 19) return 2;
    if (xgettickcount(&tick) != 0) return 3;
    /* Calls without initialisation must be refused, not crash. */
    if (MV_CC_EnumDevices(MV_GIGE_DEVICE | MV_USB_DEVICE, &list) == MV_OK) return 4;
    sw_log_writeWithLevel(LEVEL_INFO, __FILE__, __LINE__, "c headers ok");
    return 0;
}
