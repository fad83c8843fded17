/* Includes every public header of the toolkit in a C translation unit and calls into each, so a
 * C++-only construct in a header, or a missing extern "C", fails the build or the link. */
#include <MvCameraControl.h>
#include <camsim.h>
#include <logfromgo.h>
#include <quellshot.h>
#include <swapi.h>
#include <swdir.h>
#include <sw_rwlock.h>
#include <swfile.h>
#include <swhash.h>
#include <swheap.h>
#include <swlog.h>
#include <swmem.h>
#include <swprogress.h>
#include <swmutex.h>
#include <swsignal.h>
#include <swstack.h>
#include <swchar.h>
#include <swrand.h>
#include <swtcp.h>
#include <swudp.h>
#include <swstring.h>
#include <swthrd.h>
#include <swmsgq.h>
#include <swthrdpool.h>
#include <swtimer.h>

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
    {
        /* No socket is opened: the descriptor -1 and a non-group address are answered at once. */
        char flags[2] = {0, 0};
        if (sw_char_getBit(0x05, 8) != SW_BIT_OUTSIDE || !sw_chararry_setBit(flags, 2, 9, 1)) return 61;
        if (xrand32(1) != 0) return 62;
        if (sw_tcp_select(-1, NULL, NULL, NULL, 0) != -1 || sw_udp_join(-1, 0x0100007f) != 0) return 63;
    }
    {
        hash_t ht = sw_hash_create(8, 0, BOB_HASH, NULL, NULL, NULL, 0);
        void* rw = sw_rwlock_create();
        void* stk = sw_stack_create(NULL);
        struct stk_data rec = {0, 0, NULL, 0, 0};
        if (ht == NULL || rw == NULL || stk == NULL) return 71;
        if (sw_hash_insert(ht, "k", 1, &rec) != 0 || sw_hash_lookup(ht, "k", 1) != &rec) return 72;
        if (sw_rwlock_rdlock(rw, 0) != 0) return 73;
        sw_rwlock_unlock(rw);
        if (!sw_stack_push(stk, rec) || sw_stack_getDataElementsCnt(stk) != 1) return 74;
        sw_stack_destroy(stk);
        sw_rwlock_destroy(rw);
        sw_hash_destroy(ht, false);
    }
    {
        char fieldBuf[16] = "a=1;b=2";
        char fieldOut[4];
        int64_t interval = 0;
        if (sw_str_getFieldValue(fieldBuf, (int)sizeof fieldBuf, ';', "b", fieldOut, 4) == NULL) return 91;
        if (!xstrtimecmp("2024-01-02", "2024-01-01", "date", &interval) || interval != 86400000) return 92;
        if (sw_file_getCfgString(NULL, NULL, "GetFieldValue", fieldBuf, fieldOut, 4) != NULL) return 93;
    }
    {
        void* q = sw_msgq_create(2);
        void* pool = sw_thrdpool_create2(1, 0, 1 << 20);
        void* tmr = sw_timer_create("c", 100, NULL, 0, 0);
        int msg = 0;
        if (q == NULL || pool == NULL || tmr == NULL) return 81;
        if (sw_msgq_post(q, 5, 0, 0) != 0 || sw_msgq_read(q, &msg, NULL, NULL, 0) != 0 || msg != 5) return 82;
        if (sw_thrdpool_alloc(pool, NULL, 0, 0, 0) == NULL) return 83;
        sw_timer_setPeriod(tmr, 50);
        sw_timer_destroy(tmr, -1);
        sw_thrdpool_destroy(pool, -1);
        sw_msgq_destroy(q);
    }
    sw_log_writeWithLevel(LEVEL_INFO, __FILE__, __LINE__, "c headers ok");
    return 0;
}
