/* Control interface of the simulated camera SDK (libMvCameraControl.so built from camsdk/sim).
 *
 * Tests in the same process use it to set up cameras and faults and to read back what the SDK was
 * asked to do. Without it, the simulator configures itself at the first SDK call of a process:
 *
 *   CAMSIM_SCENARIO    names a scenario file of cameras and faults; unset: one default camera
 *                      (usb3, "Hikrobot", "MV-CS050-10UC", serial SIM00001, exposure off,
 *                      10000 us, 1920x1080 rgb8, firmware "camsim 1.0"). A malformed scenario prints
 *                      "camsim: <file>:<line>: <what>" to stderr, and every SDK call then fails
 *                      with MV_E_UNKNOW.
 *   CAMSIM_TIME_SCALE  factor (>= 0) applied to every simulated duration (the waits of
 *                      MV_CC_GetImageBuffer, frame times, reboots); default 1.
 *   CAMSIM_JOURNAL     file every SDK call appends one line "FUNCTION SERIAL ARG STATUS" to.
 *   CAMSIM_FEATURE_DELAY_MS  how long each feature read and each command takes (0..10000 ms,
 *                      default 0): a slow link, for tests that act while a program reads
 *                      features or sends commands.
 *   CAMSIM_LOCKDIR     directory of the camsim-<serial>.lock files that make an exclusive open
 *                      exclusive across processes (else $TMPDIR, else /tmp).
 *
 * How the simulated devices behave (statuses as in MvCameraControl.h):
 *   - Each call checks, in this order: a fault set for this call number (its status, no other
 *     effect); a malformed configuration (MV_E_UNKNOW); the handle (unknown, NULL or destroyed:
 *     MV_E_HANDLE; never dereferenced before it is found among the handles made); NULL pointer
 *     arguments (MV_E_PARAMETER); the call order (MV_E_CALLORDER: no MV_CC_Initialize before
 *     enumerate/create, device not open, not grabbing, opened or grabbing twice, finalize at
 *     count 0); then features and values (below), and GigE-only or USB3-only calls on the other
 *     transport (MV_E_SUPPORT).
 *   - Initialize/Finalize nest by count; the finalize that brings it to 0 closes and destroys
 *     every handle and journals "LEAK <serial> handle -" for each one not destroyed and
 *     "LEAK <serial> frame <n>" for each frame not given back, before its own line.
 *   - Enumeration lists USB3/GigE cameras by the mask, and NULL entries and cameras of other
 *     transports whatever the mask. Handles are made only for USB3/GigE entries (others:
 *     MV_E_SUPPORT), matched by transport and serial (no such camera: MV_E_PARAMETER).
 *   - OpenDevice mode 1 takes an exclusive flock on <lockdir>/camsim-<serial>.lock, modes 2..7 a
 *     shared one (other modes: MV_E_PARAMETER); taken elsewhere: MV_E_ACCESS_DENIED; lock file
 *     not openable: MV_E_RESOURCE. CloseDevice, DestroyHandle, the last Finalize and DeviceReset
 *     release it.
 *   - Features. Each handle has its own settings, as the camera comes up when the handle is made
 *     and after DeviceReset. A feature call answers, in this order: unknown feature MV_E_SUPPORT;
 *     read or written through a function of another type MV_E_PARAMETER; read-only feature
 *     written MV_E_SUPPORT; writable feature not writable now MV_E_CALLORDER (locked while
 *     grabbing, marked L below; ExposureTime while ExposureAuto, Gain while GainAuto is not Off);
 *     a value out of range, off the increment or without an entry MV_E_PARAMETER.
 *       Integer   Width, Height (L): min 64 step 8 / min 2 step 2, counted down from the sensor's
 *                 size (a sensor smaller than the min has its size only), max sensor - offset;
 *                 OffsetX, OffsetY (L): 0 .. sensor - size, same steps; WidthMax, HeightMax (the
 *                 sensor: the camera's width/height), PayloadSize (bytes of a frame of the region
 *                 and pixel format), read-only; GevSCPSPacketSize (L, GigE only): 220..9156 step
 *                 4, 1500 at start.
 *       Float     ExposureTime 15..16000000 us; Gain 0..24 dB, 0 at start; ResultingFrameRate
 *                 (read-only): 1e6 / frame time in us.
 *       Enum      TriggerMode Off 0, On 1; TriggerSource Line0..Line3 0..3, Counter0 4, Software
 *                 7, FrequencyConverter 8; ExposureAuto, GainAuto Off 0, Once 1, Continuous 2;
 *                 PixelFormat (L) by GenICam name and MvGvspPixelType value: Mono8, RGB8,
 *                 BayerRG8 and the camera's own format (Mono10, Mono12, Mono16, BayerGR8,
 *                 BayerGB8, BayerBG8, BGR8). MV_CC_GetEnumValue lists the entries' values in a
 *                 fixed order; MV_CC_SetEnumValueByString takes the entry names.
 *       Boolean   ReverseX, ReverseY, AcquisitionFrameRateEnable: stored only, false at start.
 *       String    DeviceVendorName (manufacturer), DeviceModelName, DeviceSerialNumber,
 *                 DeviceFirmwareVersion (firmware), DeviceUserID (empty); nMaxLength is the
 *                 device register's size: GigE 32, 16 for serial and user ID; USB3 64.
 *       Command   TriggerSoftware, DeviceReset (below).
 *     quellshot_sdk_features lists exactly these names (GevSCPSPacketSize on GigE only).
 *   - Exposure. While ExposureAuto is Once or Continuous, frames take their exposure from the
 *     camera's `exposures`, one value per frame exposed, the last repeating; the sequence starts
 *     over when ExposureAuto is switched on from Off. ExposureTime (and MV_CC_GetExposureTime)
 *     reports the exposure of the last frame handed out (before any: the first value); Once
 *     switches itself Off when the frame with the last value is handed out. With ExposureAuto
 *     Off, the value written, else the one last reported, holds for every frame. GainAuto
 *     holds the gain; Once switches itself Off at the next frame handed out.
 *   - Frame time: exposure + readout, readout = PayloadSize / the link's rate (USB3 350 MB/s,
 *     GigE 115 MB/s), times the time scale. A triggered frame arrives one frame time after its
 *     trigger, or after the frame before it arrived if that is later. In free run the camera
 *     exposes frame after frame and GetImageBuffer takes the latest one that arrived, newer than
 *     the last handed out, waiting for it if need be.
 *   - SetCommandValue "DeviceReset" stops the stream and drops the connection: until CloseDevice
 *     (which succeeds) the handle's device calls fail with MV_E_PRECONDITION; settings return to
 *     those at start. The camera then reboots:
 *     for reset_downtime_ms (scenario key, default 2000; times the time scale, on the monotonic
 *     clock) EnumDevices does not list it, then it is listed again. Handles made before keep
 *     working as described. A reload or reset of the configuration brings every camera back.
 *   - "TriggerSoftware" needs grabbing (MV_E_CALLORDER) and TriggerSource 7 (MV_E_PRECONDITION);
 *     with TriggerMode 1 it queues one frame (up to 64), in free run it does nothing.
 *   - GetImageBuffer hands out the next frame that has arrived (see frame time), else waits up
 *     to nMsec (times the time scale) for one and then returns MV_E_NODATA; frames = none never
 *     delivers. At most 4 frames per handle may be out (more: MV_E_RESOURCE). A frame has the
 *     region's size and the pixel format set (PayloadSize bytes, nFrameLen); its
 *     nDevTimeStampHigh/Low count nanoseconds from the device's opening to its arrival, and
 *     nHostTimeStamp is that arrival in ms of CLOCK_REALTIME. Frame numbers count from 1 per
 *     handle and go on across Stop/StartGrabbing. Frame n of a given size and pixel format is
 *     always the same bytes: a gradient over the frame (the region, not a crop of the sensor's
 *     image; ReverseX/Y do not flip it) with n drawn in black digits near the top-left, in
 *     colour (RGB8 as it is, BGR8 swapped, Bayer sampled through the mosaic) or grey
 *     (Mono10/12/16: the Mono8 value in the high bits, low bits that vary from pixel to pixel
 *     below it, so that dropping them gives the Mono8 frame).
 *   - FreeImageBuffer takes only a frame this handle handed out in the running stream (else
 *     MV_E_PARAMETER; after StopGrabbing: MV_E_CALLORDER and the frame is reported as leaked).
 *   - SaveImageEx3 needs an open device; converts every pixel format above, as each SDK backend
 *     of the toolkit does, to BMP (24-bit BGR, or 8-bit grey with a palette; Bayer demosaiced,
 *     deep mono cut to its high 8 bits) or JPEG (quality 50..99); PNG/TIFF: MV_E_SUPPORT; other
 *     types, bad sizes, short data, iMethodValue > 3: MV_E_PARAMETER; result larger than
 *     nBufferSize: MV_E_NOENOUGH_BUF (a BMP writes nothing then, a JPEG leaves the buffer
 *     undefined). On failure nImageLen is 0. The scenario key image_len makes a successful
 *     save misreport its length: normal (default) the true length, zero reports 0, overflow
 *     reports nBufferSize + 1 (modulo 2^32); the image is written all the same and nothing
 *     beyond nBufferSize is touched.
 *   - GetOptimalPacketSize returns the GigE camera's packet_size (0 or less is the simulated
 *     failure), or a status as a negative int (USB3: MV_E_SUPPORT).
 *   - A GigE camera's nCurrentIp is its scenario key `ip`, else 192.168.1.(10 + position); its
 *     chDeviceVersion (both transports) is the firmware.
 *
 * The journal line of a call is "FUNCTION SERIAL ARG STATUS": SERIAL of the handle's camera (of
 * the entry for CreateHandle), ARG the key (Key=value for setters: numbers in decimal, floats
 * with up to 9 significant digits, booleans true/false, entries by name), access mode, mask, wait,
 * frame number or image type; "-" where nothing applies; blanks in user text become '_'; STATUS
 * is the returned int as 32-bit hex ("0x0", "0x80000007", and the size for
 * GetOptimalPacketSize: "0x1fe4").
 *
 * Every function here is thread-safe: all simulator state sits behind one mutex. Functions that
 * replace the configuration (camsim_reset, camsim_use_default, camsim_use_environment,
 * camsim_load_scenario, camsim_load_scenario_text) must not run while another thread is inside an
 * SDK call on a handle they would invalidate; tests call them between cases.
 * Each function blocks only for that mutex, which an SDK call holds except while
 * MV_CC_GetImageBuffer waits for a frame and while MV_CC_SaveImageEx3 converts an image; loading a
 * scenario file also blocks for reading it. SDK calls are never cancellation points (a pending
 * cancel acts after the call returns); the functions here do not guard themselves that way, so a
 * thread must not be cancelled inside one. None is async-signal-safe. Pointers passed in are used
 * only during the call; nothing is handed back that the caller must free.
 */
#ifndef CAMSIM_H
#define CAMSIM_H

#include <stddef.h>

#if defined(__GNUC__)
#define CAMSIM_API __attribute__((visibility("default")))
#else
#define CAMSIM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Pixel formats and exposure modes of CamSimCamera. A frame's pixel type, PayloadSize and nFrameLen
 * follow the format (bytes a pixel: 3 RGB/BGR, 1 Mono8 and Bayer, 2 deep mono, little-endian). The
 * scenario key `pixel` names them in lower case: rgb8, mono8, bgr8, bayer_rg8, ..., mono16. */
#define CAMSIM_PIXEL_RGB8 0
#define CAMSIM_PIXEL_MONO8 1
#define CAMSIM_PIXEL_BGR8 2
#define CAMSIM_PIXEL_BAYER_RG8 3 /* named by the 2x2 tile at the top left: R G / G B */
#define CAMSIM_PIXEL_BAYER_GR8 4
#define CAMSIM_PIXEL_BAYER_GB8 5
#define CAMSIM_PIXEL_BAYER_BG8 6
#define CAMSIM_PIXEL_MONO10 7 /* 16-bit containers */
#define CAMSIM_PIXEL_MONO12 8
#define CAMSIM_PIXEL_MONO16 9
#define CAMSIM_EXPOSURE_AUTO_OFF 0
#define CAMSIM_EXPOSURE_AUTO_ONCE 1
#define CAMSIM_EXPOSURE_AUTO_CONTINUOUS 2
/* What a successful MV_CC_SaveImageEx3 reports as nImageLen (CamSimCamera.image_len). */
#define CAMSIM_IMAGE_LEN_NORMAL 0   /* the image's length */
#define CAMSIM_IMAGE_LEN_ZERO 1     /* 0 */
#define CAMSIM_IMAGE_LEN_OVERFLOW 2 /* nBufferSize + 1 */

/* One simulated camera: the fields of a [camera] section of a scenario. Fill it with
 * camsim_camera_defaults() first and change what the test needs. Strings and the exposures
 * array are copied by camsim_add_camera; the struct may go right after the call. */
typedef struct CamSimCamera {
    int null_entry;                 /* non-zero: the device list holds a NULL pointer here */
    unsigned int transport;         /* nTLayerType: MV_USB_DEVICE, MV_GIGE_DEVICE or any other value */
    const char* manufacturer;       /* must fit the SDK field with its NUL: GigE 32, USB3 64 bytes */
    const char* model;              /* likewise */
    const char* serial;             /* GigE 16, USB3 64 bytes; NULL or "": SIM<5-digit position> */
    unsigned int width;             /* 1..8192 */
    unsigned int height;            /* 1..8192 */
    int pixel;                      /* CAMSIM_PIXEL_* */
    int exposure_auto;              /* CAMSIM_EXPOSURE_AUTO_* */
    const unsigned int* exposures;  /* us of successive frames, the last repeats */
    size_t exposure_count;          /* 1..; with exposures NULL: the default 10000 */
    int packet_size;                /* GigE optimal packet size; 0 or less: that call fails */
    int frames;                     /* non-zero: triggered frames arrive; 0: none ever */
    unsigned int reset_downtime_ms; /* 0..3600000: not listed for this long after DeviceReset */
    int image_len;                  /* CAMSIM_IMAGE_LEN_* */
    const char* firmware;           /* DeviceFirmwareVersion; NULL: "camsim 1.0"; fits like model */
    const char* ip;                 /* GigE only: dotted quad; NULL or "": 192.168.1.(10 + position) */
} CamSimCamera;

/* Starts over: no cameras, no faults, call counters and the in-memory journal emptied, every
 * handle forgotten (later calls with it: MV_E_HANDLE) and its locks released, frames freed, init
 * count 0, time scale 1. CAMSIM_JOURNAL is read again at the next journal line. The environment
 * (CAMSIM_SCENARIO, CAMSIM_TIME_SCALE) is not read again: this interface configures from now on. */
CAMSIM_API void camsim_reset(void);

/* camsim_reset(), then the one default camera. */
CAMSIM_API void camsim_use_default(void);

/* camsim_reset(), then configure from the environment at the next SDK call, as a fresh process
 * does (to test CAMSIM_SCENARIO and CAMSIM_TIME_SCALE). */
CAMSIM_API void camsim_use_environment(void);

/* camsim_reset(), then load a scenario from the file `path` / from `text`, naming it `name` in
 * messages (NULL name: "scenario"; a file is named by its path). Returns 0, or -1 when it is
 * malformed: then the message "camsim: <name>:<line>: <what>" went to stderr and every SDK call
 * fails with MV_E_UNKNOW until the next successful load or reset, as with a malformed
 * CAMSIM_SCENARIO. A file that cannot be read ("camsim: <path>: cannot read the scenario: <why>")
 * and a NULL path or text are treated the same way. */
CAMSIM_API int camsim_load_scenario(const char* path);
CAMSIM_API int camsim_load_scenario_text(const char* text, const char* name);

/* Fills `cam` with the default camera's values (serial NULL: by position; the other strings point
 * to constant texts, not to be freed). NULL does nothing. Takes no lock. */
CAMSIM_API void camsim_camera_defaults(CamSimCamera* cam);

/* The functions below change the current configuration; if nothing configured the simulator yet,
 * it is first read from the environment as an SDK call would. */

/* Appends a camera to the device list; with null_entry set only a NULL entry is added and the
 * other fields are ignored. Returns 0, or -1 (message "camsim: camsim_add_camera: <what>" on
 * stderr, nothing added) when cam is NULL or the camera breaks a scenario rule: the list holds
 * MV_MAX_DEVICE_NUM cameras already, a name or firmware too long for its field, an ip that is not a
 * dotted quad (or 0.0.0.0), or on a camera other than GigE, a serial with characters
 * other than letters, digits, '-', '_' and '.', or one in use already, a bad size, pixel,
 * exposure mode or image_len, no exposures or one outside 1..16000000 us, a bad packet size or
 * downtime. */
CAMSIM_API int camsim_add_camera(const CamSimCamera* cam);

/* Makes calls first..last (counted per process from 1, see camsim_call_count) of the SDK function
 * named `function` return `status` without any other effect; first = last = 0: every call.
 * Faults are tried in the order set; the first that covers a call applies. Returns 0, or -1 for
 * a NULL or unknown function name (the names are those of MvCameraControl.h, such as
 * "MV_CC_GetImageBuffer", and "quellshot_sdk_features") or a bad range (only one of first and last 0, or first > last).
 * camsim_clear_faults() removes them all; a reset or reload does too. */
CAMSIM_API int camsim_set_fault(const char* function, unsigned long first, unsigned long last,
                                unsigned int status);
CAMSIM_API void camsim_clear_faults(void);

/* Multiplies every wait of MV_CC_GetImageBuffer by `scale` (0: never wait), from the next wait on.
 * Returns 0, or -1 (scale unchanged) for a negative or non-finite scale. */
CAMSIM_API int camsim_time_scale(double scale);

/* Copies the in-memory journal (the lines also written to CAMSIM_JOURNAL, each ending in '\n')
 * into `buf` as a NUL-terminated string, truncated to size - 1 bytes. Returns its full length
 * without the NUL, so a call with size 0 (buf may be NULL) tells the size needed. A long-running
 * process keeps only its most recent lines: past 4 MiB the older half is dropped. */
CAMSIM_API size_t camsim_journal(char* buf, size_t size);

/* Calls of the SDK function named `function` since the process start or the last reset, faulted
 * and failed ones included; -1 for a NULL or unknown name. */
CAMSIM_API long camsim_call_count(const char* function);

/* The current MV_CC_Initialize nesting depth. */
CAMSIM_API int camsim_init_count(void);

/* The toolkit's feature lister (the SDK loader looks it up; the vendor's SDK has none): calls
 * visit(name, ctx) for each feature the opened device of `handle` has (see "Features" above), in
 * a fixed order, until visit returns non-zero. Returns MV_OK, or as an SDK call, in the same
 * order of checks: a fault, MV_E_UNKNOW, MV_E_HANDLE, MV_E_PARAMETER (visit NULL), MV_E_CALLORDER
 * (device not open), MV_E_PRECONDITION (after DeviceReset). Journalled like an SDK call. visit
 * runs without the simulator's lock and may call the SDK; a name is valid for the life of the
 * process. */
CAMSIM_API int quellshot_sdk_features(void* handle, int (*visit)(const char* name, void* ctx), void* ctx);

#ifdef __cplusplus
}
#endif

#endif /* CAMSIM_H */
