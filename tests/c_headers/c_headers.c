/* Every public header of the toolkit in one strict C99 translation unit (all_headers.h, which the
 * build writes from the header directories), with one function of each referenced from C and one
 * of each library called: a C++-only construct fails the build, a missing extern "C" the link. */
#include <all_headers.h>
#include <stdio.h>

typedef void (*fn)(void);
const fn c_header_functions[] = {
    (fn)LogFromGo, (fn)sw_rwlock_create, (fn)sw_char_getBit, (fn)sw_dir_exists, (fn)sw_file_update, (fn)bob_hash,
    (fn)sw_heap_init, (fn)sw_log_writeWithLevel, (fn)sw_mem_create, (fn)sw_msgq_create, (fn)sw_mutex_create,
    (fn)xGetCurrentProcessId, (fn)xrand32, (fn)sw_signal_create, (fn)sw_stack_create, (fn)xstrcasecmp,
    (fn)sw_tcp_socket, (fn)sw_thrd_create, (fn)sw_thrdpool_create2, (fn)sw_timer_create, (fn)sw_udp_socket,
    (fn)Quellshot_Grab, (fn)MV_CC_Initialize, (fn)camsim_reset};

int main(void) {
    MV_CC_DEVICE_INFO_LIST list;
    /* The SDK refuses to list before it is initialised; the capture switch and the text compare answer. */
    if (MV_CC_EnumDevices(MV_GIGE_DEVICE | MV_USB_DEVICE, &list) == MV_OK) return 1;
    if (HK_SetWaitAEDoneForTakePhoto(1) != 0 || xstrcasecmp("Hikrobot", "HIKROBOT") != 0) return 2;
    return puts("c headers ok") < 0;
}
