/*
 * tarncam: driver library of a USB 2.0 astronomy camera with an autoguider
 * port (752 x 480 CMOS sensor, mono or Bayer colour).
 *
 * The 36 functions below are the library's whole interface, the same on the
 * 32-bit Windows DLL (TARNCAM32.dll, standard calling convention, every
 * argument one 32-bit word) and on the native shared library (libtarncam.so,
 * the platform's own calling convention, pointers at their native width).
 *
 * All functions act on one module-wide camera. Call them from one application
 * thread at a time; during a threaded exposure only isExposing,
 * ExposureSemaphore, CancelExposure, closeUSB and the guide commands may be
 * called from other threads.
 *
 * The 32 plain names are C functions. Four are exported under C++-decorated
 * names (CopyRight, DEBUG, OpenDevice, debayerBuffer): they are declared here
 * only for C++ clients, with the argument types whose decoration matches the
 * export on each platform. On Windows resolve them with GetProcAddress by the
 * decorated strings:
 *     "?CopyRight@@YGPADXZ"   "?DEBUG@@YGKK@Z"
 *     "?OpenDevice@@YGXXZ"    "?debayerBuffer@@YGXPAEKK@Z"
 *
 * Window sizes: Subframe keeps the low 16 bits of each argument and limits
 * the window to the sensor, 752 x 480 (a larger width or height is stored as
 * 752 or 480). A destination sized for the window asked for is therefore
 * always large enough.
 *
 * Output limits: GETBUFFER never reads past its source buffers and never
 * writes through a null destination. A length beyond the source is clamped:
 * modes 1 and 2 to 784,000 raw bytes, modes 3 and 5 to 784,000 samples, mode
 * 0 to 1,568,000 bytes (mode 4 always writes 1,080,624 bytes); size the
 * destination for the clamped length. A null destination makes GETBUFFER do
 * nothing and return 0. The demosaic functions return the number of output
 * rows, H - 1; with H = 0 they write nothing and return 0. debayerBuffer uses
 * only the rows that fit in the raw buffer (W * H + 1 <= 784,000).
 * debayerImageW gives 255 for any green pair summing to 2048 or more.
 *
 * Completion semaphore: on Windows a semaphore HANDLE; in the native library a
 * pointer to an initialised POSIX sem_t (sem_t *), which the library only
 * posts (sem_post) once per frame read. The readout worker of
 * ThreadedExposure is a Windows thread started with _beginthread, or in the
 * native library a detached POSIX thread; ThreadedExposure returns its handle
 * value (an opaque nonzero token natively) or all bits set on failure.
 */
#ifndef TARNCAM_TARNCAM_H
#define TARNCAM_TARNCAM_H

#include <stdint.h>

#if defined(_WIN32)
#define TARNCAM_CALL __stdcall
#if defined(TARNCAM_BUILDING_LIBRARY)
#define TARNCAM_API
#else
#define TARNCAM_API __declspec(dllimport)
#endif
/* Types whose decoration matches the four C++ exports. */
typedef unsigned long tarncam_ulong;
#else
#define TARNCAM_CALL
#define TARNCAM_API __attribute__((visibility("default")))
typedef uint32_t tarncam_ulong;
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Settings: they only store; the camera sees them at the next ProgramCamera. */
TARNCAM_API uint32_t TARNCAM_CALL ADCRef(uint32_t level);           /* 0..6; 7+ ignored */
TARNCAM_API uint32_t TARNCAM_CALL DynamicRange(uint32_t depth);     /* 8, or 10-bit */
TARNCAM_API uint32_t TARNCAM_CALL HorizontalFlip(uint32_t on);
TARNCAM_API uint32_t TARNCAM_CALL VerticalFlip(uint32_t on);
TARNCAM_API uint32_t TARNCAM_CALL RowNoise(uint32_t on);
TARNCAM_API uint32_t TARNCAM_CALL SetAGC(uint32_t on);
TARNCAM_API uint32_t TARNCAM_CALL SetCompanding(uint32_t on);
TARNCAM_API uint32_t TARNCAM_CALL SetDigitalGain(uint32_t value);
TARNCAM_API uint32_t TARNCAM_CALL Subframe(uint32_t width, uint32_t height);

/* Device. */
TARNCAM_API uint32_t TARNCAM_CALL openUSB(uint32_t ignored);      /* 1: open, firmware ok */
TARNCAM_API uint32_t TARNCAM_CALL checkdevice(uint32_t ignored);  /* 1: a camera answers */
TARNCAM_API uint32_t TARNCAM_CALL closeUSB(void);
TARNCAM_API uint32_t TARNCAM_CALL CancelExposure(void);
TARNCAM_API uint32_t TARNCAM_CALL CameraReset(void);              /* 0 sent, 1 failed */
TARNCAM_API uint32_t TARNCAM_CALL SendRegister(uint32_t index, uint32_t value);
TARNCAM_API uint32_t TARNCAM_CALL GetVIDPID(void);

/* Programming and exposure. */
TARNCAM_API uint32_t TARNCAM_CALL ProgramCamera(uint32_t exposureMs, uint32_t gain,
                                                uint32_t offset, uint32_t fourth);
TARNCAM_API uint32_t TARNCAM_CALL Exposure(void* destination);
TARNCAM_API uintptr_t TARNCAM_CALL ThreadedExposure(void* destination);
TARNCAM_API uint32_t TARNCAM_CALL isExposing(void);
TARNCAM_API void* TARNCAM_CALL ExposureSemaphore(void* semaphore);

/* Output. GETBUFFER returns the destination (modes 0, 1), 0 (2, 3, 5) or 479 (4). */
TARNCAM_API uint32_t TARNCAM_CALL SETBUFFERMODE(uint32_t mode);
TARNCAM_API uintptr_t TARNCAM_CALL GETBUFFER(void* destination, uint32_t length);
TARNCAM_API uint8_t* TARNCAM_CALL getbufptr(void);
TARNCAM_API void* TARNCAM_CALL bufferCopy(const void* source, void* destination, uint32_t count);
TARNCAM_API uint32_t TARNCAM_CALL debayerImage(const uint8_t* source, uint8_t* destination,
                                               uint32_t width, uint32_t height);
TARNCAM_API uint32_t TARNCAM_CALL debayerImageW(const uint16_t* source, uint8_t* destination,
                                                uint32_t width, uint32_t height);
TARNCAM_API uint32_t TARNCAM_CALL debayerImageFITBYTE(const uint8_t* source, uint8_t* destination,
                                                      uint32_t width, uint32_t height);
TARNCAM_API uint32_t TARNCAM_CALL debayerImageFITWORD(const uint16_t* source,
                                                      uint16_t* destination, uint32_t width,
                                                      uint32_t height);

/* Guide port. */
TARNCAM_API uint32_t TARNCAM_CALL GuideCommandXY(uint32_t direction, int32_t first,
                                                 int32_t second);
TARNCAM_API uint32_t TARNCAM_CALL GuideCommand(uint32_t direction, int32_t duration);
TARNCAM_API uint32_t TARNCAM_CALL CancelGuide(uint32_t first, uint32_t second);

#ifdef __cplusplus
} /* extern "C" */

/* The four exports with C++-decorated names. */
TARNCAM_API char* TARNCAM_CALL CopyRight(void);
TARNCAM_API tarncam_ulong TARNCAM_CALL DEBUG(tarncam_ulong queryCode);
TARNCAM_API void TARNCAM_CALL OpenDevice(void);
TARNCAM_API void TARNCAM_CALL debayerBuffer(unsigned char* destination, tarncam_ulong width,
                                            tarncam_ulong height);
#endif

#endif /* TARNCAM_TARNCAM_H */
