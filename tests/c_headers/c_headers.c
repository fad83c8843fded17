/* Includes every public header of the toolkit in a C translation unit and calls into each, so a
 * C++-only construct in a header, or a missing extern "C", fails the build or the link. */
#include <MvCameraControl.h>
#include <camsim.h>
#include <logfromgo.h>
#include <quellshot.h>
#include <swapi.h>
#include <swdir.h>
#include <swfile.h>
#include <swheap.h>
#include <swlog.h>
#include <swmem.h>
#include <swprogress.h>
#include <swmutex.h>
#include <swsignal.h>
#include <swstring.h>
#include <swthrd.h>

#include <stdio.h>
#include <string.h>

int main(void) {
    HKImgMark mark;
    char stamp[64];
    unsigned long tick = 0;
    MV_CC_DEVICE_INFO_LIST list;
    memset(&list, 0, sizeof list);
    memset(&mark, 0, sizeof mark);
    if (HK_SetWaitAEDoneForTakePhoto(1) != 0 || sizeof mark.camModelName != 192) return 20;
    if (xstrcasecmp("Hikrobot", "HIKROBOT") != 0) return 1;
    if (xstrgettime(stamp, "datetime") == NULL || strlen(stamp) != 19) return 2;
    if (xgettickcount(&tick) != 0) return 3;
    /* Calls without initialisation must be refused, not crash. */
    if (MV_CC_EnumDevices(MV_GIGE_DEVICE | MV_USB_DEVICE, &list) == MV_OK) return 4;
    {
        void* sig = sw_signal_create();
        void* mtx = sw_mutex_create();
        void* thr = sw_thrd_create("c", 0, 1 << 20, NULL, 0, 0);
        if (sig == NULL || mtx == NULL || thr == NULL) return 5;
        sw_signal_give(sig);
        if (sw_signal_wait(sig, 0) != 0 || sw_mutex_lock(mtx, 0) != 0) return 6;
        sw_mutex_unlock(mtx);
        if (!sw_thrd_isAlive(thr)) return 7;
        sw_thrd_destroy(thr, -1);
        sw_mutex_destroy(mtx);
        sw_signal_destroy(sig);
    }
    if (xstrishex("DeadBeef") != true) return 41;
    if (sw_file_getSize(NULL) != -1 || sw_file_exists(NULL)) return 42;
    if (strcmp(xGetPathFileName("/opt/app/tool"), "tool") != 0) return 43;
    if (xGetCurrentProcessId() <= 0) return 44;
    {
        static char memBuf[256];
        void* mem = sw_mem_create(memBuf, (int)sizeof memBuf, 8);
        if (mem == NULL || sw_mem_alloc(mem, 16, __FILE__, __LINE__) == NULL) return 51;
        sw_mem_destroy(mem);
        if (sw_heap_getTotalSize() != -1) return 52;
    }
    sw_log_writeWithLevel(LEVEL_INFO, __FILE__, __LINE__, "c headers ok");
    return 0;
}
