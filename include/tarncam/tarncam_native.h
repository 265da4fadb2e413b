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

/* ---- USB cameras ----------------------------------------------------------
 * The native library reaches cameras through libusb, by their USB IDs: the
 * build's (a blank controller's and a programmed camera's; see docs/usb.md),
 * or those listed in the environment variable TARNCAM_USB_IDS as
 * "vvvv:pppp[,vvvv:pppp...]" (hex). With several cameras plugged in,
 * openUSB takes the first in bus and port order, or the one the environment
 * variable TARNCAM_DEVICE names: "BUS-PORT[.PORT...]" such as "1-2.3" (where
 * it is plugged in) or "serial:TEXT" (its serial number). The variables are
 * read once, when the library first looks for a camera. */

typedef struct tarncam_usb_device {
  char path[64];     /* "usb:1-2.3": what openUSB opens; names the port, as location does */
  char location[64]; /* "1-2.3": bus 1, port 2, port 3 of the hub there */
  char serial[64];   /* serial number; "" for a blank controller, or when unreadable */
  uint16_t vendor_id;
  uint16_t product_id;
  int32_t blank; /* 1: controller without firmware, 0: programmed camera, -1: unknown */
} tarncam_usb_device;

/* Lists the USB cameras present (of either identity, whatever
 * TARNCAM_DEVICE chooses) in bus and port order, at most `capacity` into
 * `out`, and returns how many there are. The simulator is never listed. */
TARNCAM_NATIVE_API uint32_t tarncam_usb_list(tarncam_usb_device* out, uint32_t capacity);

/* Replaces what TARNCAM_USB_IDS and TARNCAM_DEVICE set, for later opens.
 * NULL leaves a setting as it is; "" restores the build's IDs, or the first
 * camera. Returns 0, or -1 (changing nothing) when either does not parse. */
TARNCAM_NATIVE_API int tarncam_usb_select(const char* ids, const char* device);

/* Why the last openUSB, checkdevice or OpenDevice opened no camera. The
 * firmware check of openUSB is not part of it: a camera refused for its
 * firmware opened (TARNCAM_USB_OK). `os_error` (may be NULL) receives the
 * system's own code behind a failure (a libusb error), or 0. */
#define TARNCAM_USB_OK 0        /* a camera was opened */
#define TARNCAM_USB_NOT_FOUND 1 /* none present, or not the one chosen */
#define TARNCAM_USB_NO_ACCESS 2 /* present, but the system refused access (no udev rule) */
#define TARNCAM_USB_BUSY 3      /* present, but another program is using it */
#define TARNCAM_USB_FAILED 4    /* present, but opening it failed, or it stayed blank */
TARNCAM_NATIVE_API int tarncam_usb_open_status(int32_t* os_error);

/* How the last frame read ended. The 36 functions deliver every frame alike,
 * whole, short or failed; this tells them apart. Ask once the exposure has
 * ended (isExposing() returned 0 or the semaphore was taken). The camera
 * API's frame records (tarncam_camera.h) number the same outcomes one lower,
 * having no "none": TARNCAM_FRAME_COMPLETE is TARNCAM_LAST_FRAME_COMPLETE - 1,
 * and so on. */
#define TARNCAM_LAST_FRAME_NONE 0     /* no frame read yet, or the exposure found no device open */
#define TARNCAM_LAST_FRAME_COMPLETE 1 /* a read delivered the whole transfer */
#define TARNCAM_LAST_FRAME_SHORT 2    /* the read ended early (an abort, or the camera sent less):
                                    only the rows received are new */
#define TARNCAM_LAST_FRAME_FAILED 3   /* every read failed: the frame is the raw buffer's old content */
/* Added to the outcome when the camera had not confirmed the settings the
 * frame was read with (their last sending failed, or the camera was opened
 * and not programmed since): its size or exposure may differ. */
#define TARNCAM_LAST_FRAME_UNCONFIRMED 0x100u

/* Returns the outcome; the bytes the read asked for and received go to
 * `expected` and `received` (either may be null). */
TARNCAM_NATIVE_API uint32_t tarncam_last_frame(uint32_t* received, uint32_t* expected);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* TARNCAM_TARNCAM_NATIVE_H */
