/*
 * tarncam native extras: what a client of the native library may ask beyond
 * the 36 functions of tarncam.h. Not part of the Windows DLL.
 */
#ifndef TARNCAM_TARNCAM_NATIVE_H
#define TARNCAM_TARNCAM_NATIVE_H

#include <stdint.h>

#if defined(_WIN32)
#error "native library only"
#endif

#define TARNCAM_NATIVE_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/* The device interface path of the camera last found by openUSB or
 * checkdevice ("" before any was found). Valid until the next open. */
TARNCAM_NATIVE_API const char* tarncam_device_path(void);

/* Bulk frame reads attempted and failed since the library was loaded (a
 * failed read is retried after a controller reset, up to five reads per
 * frame). Either pointer may be null. */
TARNCAM_NATIVE_API void tarncam_read_counters(uint32_t* attempted, uint32_t* failed);

/* How the last frame read ended. The 36 functions deliver every frame alike,
 * whole, short or failed; this tells them apart. Ask once the exposure has
 * ended (isExposing() returned 0 or the semaphore was taken). */
#define TARNCAM_FRAME_NONE 0     /* no frame read yet, or the exposure found no device open */
#define TARNCAM_FRAME_COMPLETE 1 /* a read delivered the whole transfer */
#define TARNCAM_FRAME_SHORT 2    /* the read ended early (an abort, or the camera sent less):
                                    only the rows received are new */
#define TARNCAM_FRAME_FAILED 3   /* every read failed: the frame is the raw buffer's old content */
/* Added to the outcome when the camera had not confirmed the settings the
 * frame was read with (their last sending failed, or the camera was opened
 * and not programmed since): its size or exposure may differ. */
#define TARNCAM_FRAME_UNCONFIRMED 0x100u

/* Returns the outcome; the bytes the read asked for and received go to
 * `expected` and `received` (either may be null). */
TARNCAM_NATIVE_API uint32_t tarncam_last_frame(uint32_t* received, uint32_t* expected);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* TARNCAM_TARNCAM_NATIVE_H */
