/* Declarations of the camera vendor's SDK (libMvCameraControl.so) that this toolkit uses.
 *
 * Only what our code calls is declared here, under the SDK's own names, so that a build against
 * the vendor's installed SDK (CMake option MVSDK_ROOT) compiles the same sources unchanged. The
 * simulated SDK in camsdk/sim/ implements exactly these declarations. Do not add anything here
 * that the vendor's header does not have: code that used it would stop building on a board.
 */
#ifndef MV_CAMERA_CONTROL_H_
#define MV_CAMERA_CONTROL_H_

#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#ifndef MV_CAMCTRL_API
#if defined(__GNUC__)
#define MV_CAMCTRL_API __attribute__((visibility("default")))
#else
#define MV_CAMCTRL_API
#endif
#endif
#ifndef __stdcall
#define __stdcall
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- status codes ------------------------------------------------------------------------- */
#define MV_OK 0x00000000
#define MV_E_HANDLE 0x80000000       /* invalid or destroyed handle */
#define MV_E_SUPPORT 0x80000001      /* not supported */
#define MV_E_BUFOVER 0x80000002      /* buffer overflow */
#define MV_E_CALLORDER 0x80000003    /* called out of order */
#define MV_E_PARAMETER 0x80000004    /* bad parameter */
#define MV_E_RESOURCE 0x80000006     /* resource exhausted */
#define MV_E_NODATA 0x80000007       /* no frame there yet */
#define MV_E_PRECONDITION 0x80000008 /* precondition not met */
#define MV_E_NOENOUGH_BUF 0x8000000C /* output buffer too small */
#define MV_E_UNKNOW 0x800000FF       /* unknown error */
#define MV_E_ACCESS_DENIED 0x80000203 /* device opened elsewhere */

/* ---- transport layers --------------------------------------------------------------------- */
#define MV_UNKNOW_DEVICE 0x00000000
#define MV_GIGE_DEVICE 0x00000001
#define MV_1394_DEVICE 0x00000002
#define MV_USB_DEVICE 0x00000004
#define MV_CAMERALINK_DEVICE 0x00000008

#define MV_MAX_DEVICE_NUM 256
#define INFO_MAX_BUFFER_SIZE 64

/* ---- access modes ------------------------------------------------------------------------- */
#define MV_ACCESS_Exclusive 1

/* ---- device information ------------------------------------------------------------------- */
typedef struct _MV_GIGE_DEVICE_INFO_ {
    unsigned int nIpCfgOption;
    unsigned int nIpCfgCurrent;
    unsigned int nCurrentIp;
    unsigned int nCurrentSubNetMask;
    unsigned int nDefultGateWay;
    unsigned char chManufacturerName[32];
    unsigned char chModelName[32];
    unsigned char chDeviceVersion[32];
    unsigned char chManufacturerSpecificInfo[48];
    unsigned char chSerialNumber[16];
    unsigned char chUserDefinedName[16];
    unsigned int nNetExport;
    unsigned int nReserved[4];
} MV_GIGE_DEVICE_INFO;

typedef struct _MV_USB3_DEVICE_INFO_ {
    unsigned char CrtlInEndPoint;
    unsigned char CrtlOutEndPoint;
    unsigned char StreamEndPoint;
    unsigned char EventEndPoint;
    unsigned short idVendor;
    unsigned short idProduct;
    unsigned int nDeviceNumber;
    unsigned char chDeviceGUID[INFO_MAX_BUFFER_SIZE];
    unsigned char chVendorName[INFO_MAX_BUFFER_SIZE];
    unsigned char chModelName[INFO_MAX_BUFFER_SIZE];
    unsigned char chFamilyName[INFO_MAX_BUFFER_SIZE];
    unsigned char chDeviceVersion[INFO_MAX_BUFFER_SIZE];
    unsigned char chManufacturerName[INFO_MAX_BUFFER_SIZE];
    unsigned char chSerialNumber[INFO_MAX_BUFFER_SIZE];
    unsigned char chUserDefinedName[INFO_MAX_BUFFER_SIZE];
    unsigned int nbcdUSB;
    unsigned int nDeviceAddress;
    unsigned int nReserved[2];
} MV_USB3_DEVICE_INFO;

typedef struct _MV_CC_DEVICE_INFO_ {
    unsigned short nMajorVer;
    unsigned short nMinorVer;
    unsigned int nMacAddrHigh;
    unsigned int nMacAddrLow;
    unsigned int nTLayerType; /* MV_GIGE_DEVICE, MV_USB_DEVICE, ... */
    unsigned int nReserved[4];
    union {
        MV_GIGE_DEVICE_INFO stGigEInfo;
        MV_USB3_DEVICE_INFO stUsb3VInfo;
    } SpecialInfo;
} MV_CC_DEVICE_INFO;

typedef struct _MV_CC_DEVICE_INFO_LIST_ {
    unsigned int nDeviceNum;
    MV_CC_DEVICE_INFO* pDeviceInfo[MV_MAX_DEVICE_NUM]; /* an entry may be NULL */
} MV_CC_DEVICE_INFO_LIST;

/* ---- pixel formats ------------------------------------------------------------------------ */
enum MvGvspPixelType {
    PixelType_Gvsp_Undefined = -1,
    PixelType_Gvsp_Mono8 = 0x01080001,
    PixelType_Gvsp_Mono10 = 0x01100003,
    PixelType_Gvsp_Mono12 = 0x01100005,
    PixelType_Gvsp_Mono16 = 0x01100007,
    PixelType_Gvsp_BayerGR8 = 0x01080008,
    PixelType_Gvsp_BayerRG8 = 0x01080009,
    PixelType_Gvsp_BayerGB8 = 0x0108000A,
    PixelType_Gvsp_BayerBG8 = 0x0108000B,
    PixelType_Gvsp_RGB8_Packed = 0x02180014,
    PixelType_Gvsp_BGR8_Packed = 0x02180015,
};

/* ---- frames ------------------------------------------------------------------------------- */
typedef struct _MV_FRAME_OUT_INFO_EX_ {
    unsigned short nWidth;
    unsigned short nHeight;
    enum MvGvspPixelType enPixelType;
    unsigned int nFrameNum;
    unsigned int nDevTimeStampHigh;
    unsigned int nDevTimeStampLow;
    unsigned int nReserved0;
    int64_t nHostTimeStamp;
    unsigned int nFrameLen;
    unsigned int nLostPacket;
    unsigned int nExtendWidth;
    unsigned int nExtendHeight;
    unsigned int nReserved[34];
} MV_FRAME_OUT_INFO_EX;

typedef struct _MV_FRAME_OUT_ {
    unsigned char* pBufAddr;
    MV_FRAME_OUT_INFO_EX stFrameInfo;
    unsigned int nRes[16];
} MV_FRAME_OUT;

/* ---- image saving ------------------------------------------------------------------------- */
enum MV_SAVE_IAMGE_TYPE {
    MV_Image_Undefined = 0,
    MV_Image_Bmp = 1,
    MV_Image_Jpeg = 2,
    MV_Image_Png = 3,
    MV_Image_Tif = 4,
};

typedef struct _MV_SAVE_IMAGE_PARAM_EX3_ {
    unsigned char* pData;
    unsigned int nDataLen;
    enum MvGvspPixelType enPixelType;
    unsigned int nWidth;
    unsigned int nHeight;
    unsigned char* pImageBuffer;
    unsigned int nImageLen;
    unsigned int nBufferSize;
    enum MV_SAVE_IAMGE_TYPE enImageType;
    unsigned int nJpgQuality; /* 50..99 for JPEG */
    unsigned int iMethodValue;
    unsigned int nReserved[3];
} MV_SAVE_IMAGE_PARAM_EX3;

/* ---- feature values ----------------------------------------------------------------------- */
#define MV_MAX_XML_SYMBOLIC_NUM 64

typedef struct _MVCC_ENUMVALUE_T {
    unsigned int nCurValue;
    unsigned int nSupportedNum;
    unsigned int nSupportValue[MV_MAX_XML_SYMBOLIC_NUM];
    unsigned int nReserved[4];
} MVCC_ENUMVALUE;

typedef struct _MVCC_INTVALUE_EX_T {
    int64_t nCurValue;
    int64_t nMax;
    int64_t nMin;
    int64_t nInc;
    unsigned int nReserved[16];
} MVCC_INTVALUE_EX;

typedef struct _MVCC_FLOATVALUE_T {
    float fCurValue;
    float fMax;
    float fMin;
    unsigned int nReserved[4];
} MVCC_FLOATVALUE;

typedef struct _MVCC_STRINGVALUE_T {
    char chCurValue[256]; /* NUL-terminated */
    int64_t nMaxLength;
    unsigned int nReserved[2];
} MVCC_STRINGVALUE;

typedef enum _MV_CAM_TRIGGER_MODE_ {
    MV_TRIGGER_MODE_OFF = 0,
    MV_TRIGGER_MODE_ON = 1,
} MV_CAM_TRIGGER_MODE;

typedef enum _MV_CAM_TRIGGER_SOURCE_ {
    MV_TRIGGER_SOURCE_LINE0 = 0,
    MV_TRIGGER_SOURCE_LINE1 = 1,
    MV_TRIGGER_SOURCE_LINE2 = 2,
    MV_TRIGGER_SOURCE_LINE3 = 3,
    MV_TRIGGER_SOURCE_COUNTER0 = 4,
    MV_TRIGGER_SOURCE_SOFTWARE = 7,
    MV_TRIGGER_SOURCE_FrequencyConverter = 8,
} MV_CAM_TRIGGER_SOURCE;

typedef enum _MV_CAM_EXPOSURE_AUTO_MODE_ {
    MV_EXPOSURE_AUTO_MODE_OFF = 0,
    MV_EXPOSURE_AUTO_MODE_ONCE = 1,
    MV_EXPOSURE_AUTO_MODE_CONTINUOUS = 2,
} MV_CAM_EXPOSURE_AUTO_MODE;

/* ---- functions ---------------------------------------------------------------------------- */
/* Library life: every MV_CC_Initialize, also a failed one, is followed by MV_CC_Finalize. */
MV_CAMCTRL_API int __stdcall MV_CC_Initialize(void);
/* Version of the library as 0xAABBCCDD: major, minor, revision, build. */
MV_CAMCTRL_API unsigned int __stdcall MV_CC_GetSDKVersion(void);
MV_CAMCTRL_API int __stdcall MV_CC_Finalize(void);

MV_CAMCTRL_API int __stdcall MV_CC_EnumDevices(unsigned int nTLayerType,
                                               MV_CC_DEVICE_INFO_LIST* pstDevList);

MV_CAMCTRL_API int __stdcall MV_CC_CreateHandleWithoutLog(void** handle,
                                                          const MV_CC_DEVICE_INFO* pstDevInfo);
MV_CAMCTRL_API int __stdcall MV_CC_DestroyHandle(void* handle);

MV_CAMCTRL_API int __stdcall MV_CC_OpenDevice(void* handle, unsigned int nAccessMode,
                                              unsigned short nSwitchoverKey);
MV_CAMCTRL_API int __stdcall MV_CC_CloseDevice(void* handle);

MV_CAMCTRL_API int __stdcall MV_USB_SetTransferWays(void* handle, unsigned int nTranferWays);
MV_CAMCTRL_API int __stdcall MV_CC_GetOptimalPacketSize(void* handle);

MV_CAMCTRL_API int __stdcall MV_CC_GetIntValueEx(void* handle, const char* strKey,
                                                 MVCC_INTVALUE_EX* pstIntValue);
MV_CAMCTRL_API int __stdcall MV_CC_SetIntValueEx(void* handle, const char* strKey, int64_t nValue);
MV_CAMCTRL_API int __stdcall MV_CC_SetEnumValue(void* handle, const char* strKey,
                                                unsigned int nValue);
MV_CAMCTRL_API int __stdcall MV_CC_GetFloatValue(void* handle, const char* strKey,
                                                 MVCC_FLOATVALUE* pstFloatValue);
MV_CAMCTRL_API int __stdcall MV_CC_SetFloatValue(void* handle, const char* strKey, float fValue);
MV_CAMCTRL_API int __stdcall MV_CC_GetEnumValue(void* handle, const char* strKey,
                                                MVCC_ENUMVALUE* pEnumValue);
MV_CAMCTRL_API int __stdcall MV_CC_SetEnumValueByString(void* handle, const char* strKey,
                                                        const char* strValue);
MV_CAMCTRL_API int __stdcall MV_CC_GetBoolValue(void* handle, const char* strKey, bool* pBoolValue);
MV_CAMCTRL_API int __stdcall MV_CC_SetBoolValue(void* handle, const char* strKey, bool bValue);
MV_CAMCTRL_API int __stdcall MV_CC_GetStringValue(void* handle, const char* strKey,
                                                  MVCC_STRINGVALUE* pStringValue);
MV_CAMCTRL_API int __stdcall MV_CC_SetCommandValue(void* handle, const char* strKey);

MV_CAMCTRL_API int __stdcall MV_CC_GetExposureAutoMode(void* handle, MVCC_ENUMVALUE* pstValue);
MV_CAMCTRL_API int __stdcall MV_CC_GetExposureTime(void* handle, MVCC_FLOATVALUE* pstValue);

MV_CAMCTRL_API int __stdcall MV_CC_StartGrabbing(void* handle);
MV_CAMCTRL_API int __stdcall MV_CC_StopGrabbing(void* handle);

MV_CAMCTRL_API int __stdcall MV_CC_GetImageBuffer(void* handle, MV_FRAME_OUT* pstFrame,
                                                  unsigned int nMsec);
MV_CAMCTRL_API int __stdcall MV_CC_FreeImageBuffer(void* handle, MV_FRAME_OUT* pstFrame);

MV_CAMCTRL_API int __stdcall MV_CC_SaveImageEx3(void* handle, MV_SAVE_IMAGE_PARAM_EX3* pstSaveParam);

#ifdef __cplusplus
}
#endif

#endif /* MV_CAMERA_CONTROL_H_ */
