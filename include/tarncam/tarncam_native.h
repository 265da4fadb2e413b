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

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* TARNCAM_TARNCAM_NATIVE_H */
