// The camera SDK a program drives, chosen when the program runs, not when it is built.
//
// Our libraries and programs call the MV_CC_* functions by name. This module defines them (hidden,
// so nothing outside sees them) as forwarders to a libMvCameraControl.so loaded on first use:
//   1. QUELLSHOT_SDK holding a path ('/' in it): that file;
//   2. a libMvCameraControl.so the process has loaded already (a host program linked with one),
//      when it fits the request: one process never drives its cameras through two SDKs;
//   3. QUELLSHOT_SDK "vendor", "aravis" or "sim": that one only; unset or empty: the vendor's SDK
//      when it is installed, else our Aravis backend, else the simulator.
// The vendor's SDK is the libMvCameraControl.so the dynamic linker finds (ld.so.conf,
// LD_LIBRARY_PATH), else the one in /opt/MVS/lib/<arch>/. Ours live in private directories beside
// the library or program this module is part of: camaravis/ and camsim/ in the library directory
// (or camsdk/aravis/ and camsdk/sim/ of a build tree).
#pragma once

#include <cstddef>

namespace sdkloader {

constexpr const char* kVariable = "QUELLSHOT_SDK";
constexpr const char* kLibrary = "libMvCameraControl.so";
// Our backends export this NUL-terminated name; the vendor's library has no such symbol.
constexpr const char* kMarker = "quellshot_sdk_backend";
constexpr size_t kPathMax = 4096;
constexpr size_t kFunctionCount = 28;  // the functions of MvCameraControl.h

struct Choice {
    void* library;             // dlopen handle; NULL when nothing could be loaded
    const char* name;          // "vendor", "aravis", "sim" (from the marker), or NULL
    char path[kPathMax];       // the file that was loaded, or that was tried last
    char why[1024];            // with library NULL: the reason
    void* fn[kFunctionCount];  // in the order of the forwarders in sdkloader.cpp
};

// The `index`-th file a request leads to, counting from 0: writes it to `path` (a bare file name
// means the dynamic linker's own search) and its kind to `kind`. False past the last one, and for
// a request that names nothing we know. `base` is the directory this module's object lives in;
// when it is not an absolute path (unknown), the places beside it are left out.
bool candidate(const char* request, const char* base, int index, char* path, size_t size, const char** kind);

// Our backends also export the names of the features a camera's description offers, which the SDK's
// own functions cannot enumerate: `visit` is called with each name (valid during the call) and ends
// the walk by returning non-zero. Returns an SDK status.
constexpr const char* kFeatureLister = "quellshot_sdk_features";
using FeatureLister = int (*)(void* handle, int (*visit)(const char* name, void* ctx), void* ctx);

// The loaded SDK's feature lister, NULL for an SDK without one (the vendor's).
FeatureLister feature_lister();

// Loads the first candidate that is what it claims to be and has every function we call.
void choose(const char* request, const char* base, Choice& out);

// The process's choice, made once, by the environment and this module's own location.
const Choice& choice();

}  // namespace sdkloader
