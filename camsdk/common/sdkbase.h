// What our camera SDK backends share besides the image conversion: the SDK's statuses as the int its
// functions return, the bits of an enum field as C stores them, and the guard that keeps an SDK call
// from being a cancellation point. Header only; nothing here is exported.
#pragma once

#include <MvCameraControl.h>
#include <pthread.h>

#include <cstdint>
#include <cstring>

namespace sdkbase {

// Status codes as the int the SDK functions return (the macros are unsigned literals).
constexpr int status(unsigned int code) {
    return static_cast<int>(code);
}
constexpr int kOk = status(MV_OK);
constexpr int kHandle = status(MV_E_HANDLE);
constexpr int kSupport = status(MV_E_SUPPORT);
constexpr int kCallOrder = status(MV_E_CALLORDER);
constexpr int kParameter = status(MV_E_PARAMETER);
constexpr int kResource = status(MV_E_RESOURCE);
constexpr int kNoData = status(MV_E_NODATA);
constexpr int kPrecondition = status(MV_E_PRECONDITION);
constexpr int kNoEnoughBuf = status(MV_E_NOENOUGH_BUF);
constexpr int kUnknown = status(MV_E_UNKNOW);
constexpr int kAccessDenied = status(MV_E_ACCESS_DENIED);

// The bits of an enum field as a C caller stored them: any value, also one outside the
// enumerators, which C++ must not load as the enum type.
template <class E>
uint32_t rawEnum(const E& field) {
    static_assert(sizeof(E) == sizeof(uint32_t), "enum fields are 32 bits");
    uint32_t v;
    std::memcpy(&v, &field, sizeof v);
    return v;
}

// Stores any 32-bit value in an enum field, as a C caller may read it.
template <class E>
void storeRawEnum(E& field, uint32_t value) {
    static_assert(sizeof(E) == sizeof value, "enum fields are 32 bits");
    std::memcpy(&field, &value, sizeof value);
}

// Holds off thread cancellation for its lifetime, restoring the previous state: a capture worker
// may be cancelled while it waits in an SDK call, and unwinding there would leave the backend's
// locks (and Aravis's, GLib's) held.
class CancelGuard {
public:
    CancelGuard() { (void)pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old_); }
    ~CancelGuard() { (void)pthread_setcancelstate(old_, nullptr); }
    CancelGuard(const CancelGuard&) = delete;
    CancelGuard& operator=(const CancelGuard&) = delete;

private:
    int old_ = PTHREAD_CANCEL_ENABLE;
};

}  // namespace sdkbase
