/*
 * tarncam camera API: several cameras at once, a status from every call,
 * frames with records, a guide port with state. A C interface (C99 and later,
 * usable from C++) of the native library, libtarncam.so; the Windows DLL does
 * not carry it. It runs on the same core as the 36 functions of tarncam.h, so
 * both drive the camera the same way; a program may use both, on different
 * cameras.
 *
 * In short:
 *
 *     tarncam_camera* cam;
 *     if (tarncam_open_index(0, &cam) != TARNCAM_OK) ...      (or tarncam_open_id,
 *                                                               tarncam_open_simulated)
 *     tarncam_set_control(cam, TARNCAM_CONTROL_EXPOSURE_MS, 2000);
 *     tarncam_set_window(cam, 640, 480);
 *     tarncam_start_exposure(cam, buffer, size, NULL, NULL);  returns at once
 *     tarncam_frame_record rec = {0};
 *     rec.struct_size = sizeof rec;
 *     tarncam_wait_frame(cam, TARNCAM_WAIT_FOREVER, &rec);     TARNCAM_OK: a complete frame
 *     tarncam_close(cam);
 *
 * Statuses. Every function that can fail returns a tarncam_status. TARNCAM_OK
 * (0) is success; tarncam_status_text() names each status in words, and
 * tarncam_last_error() gives the detail of the last call on the calling
 * thread: the status, the operating system's error code behind it and a line
 * of text for people.
 *
 * Handles. A tarncam_camera is one open camera with its own settings, worker
 * thread and frame buffers; any number may be open at once, one per camera.
 * The handle is valid from a successful open until tarncam_close() returns.
 *
 * Threads. Every function may be called from any thread. On one handle:
 *  - settings (tarncam_set_* / tarncam_get_*), tarncam_get_info, the guide
 *    functions, tarncam_wait_frame and tarncam_cancel_exposure may all run at
 *    the same time as each other and as a running exposure;
 *  - tarncam_start_exposure may run at the same time as all of those; of two
 *    starts at once, one is refused with TARNCAM_ERR_EXPOSING;
 *  - tarncam_close may run while other threads wait in tarncam_wait_frame
 *    (they return TARNCAM_ERR_CLOSED) or are inside any other call on the
 *    handle (close waits for them to return); no call may begin on the handle
 *    once tarncam_close has returned, and tarncam_close itself is called once.
 * Different handles are independent.
 *
 * Frame callbacks run on the camera's worker thread. A callback may call
 * every function on its own camera except tarncam_close (which then returns
 * TARNCAM_ERR_BUSY); in particular it may start the next exposure (a wait
 * for that one does not block there: the worker runs it once the callback
 * has returned).
 *
 * A camera that has gone away (unplugged, powered off) is noticed by the
 * first transfer that fails because of it; from then on every call on its
 * handle returns TARNCAM_ERR_NO_DEVICE at once (getters still fill their
 * outputs), an exposure in progress ends with outcome TARNCAM_FRAME_FAILED
 * and status TARNCAM_ERR_NO_DEVICE, and only tarncam_close remains useful.
 * Plugged in again, the camera is opened afresh.
 *
 * Versioned structures. Every structure starts with `struct_size`. Set it to
 * sizeof the structure before passing the structure in; the library fills
 * only the fields that fit in that many bytes (later versions of this header
 * only append fields), and refuses a size below the first version's with
 * TARNCAM_ERR_INVALID_ARGUMENT. Records the library passes to a callback
 * carry the library's own struct_size.
 */
#ifndef TARNCAM_TARNCAM_CAMERA_H
#define TARNCAM_TARNCAM_CAMERA_H

#include <stddef.h>
#include <stdint.h>

#include "tarncam/tarncam_sim.h"

#if defined(_WIN32)
#error "the camera API is part of the native library only"
#endif

#define TARNCAM_CAMERA_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------
 * Statuses
 */

typedef enum tarncam_status {
  /* Success. */
  TARNCAM_OK = 0,
  /* A null pointer where an object is needed, a struct_size below the first
   * version's, an unknown control or direction bit, a buffer smaller than
   * the frame, or an identifier of the wrong form. Nothing was done. */
  TARNCAM_ERR_INVALID_ARGUMENT = 1,
  /* A setting outside what the camera takes (see each control); nothing was
   * stored. The library never clamps or truncates a setting. */
  TARNCAM_ERR_OUT_OF_RANGE = 2,
  /* No camera by that index or identifier, or the camera has gone away. */
  TARNCAM_ERR_NO_DEVICE = 3,
  /* The operating system refused access to the device (permissions). */
  TARNCAM_ERR_ACCESS = 4,
  /* The camera is in use: open through another handle or by another
   * program; or tarncam_close was called from the camera's own callback. */
  TARNCAM_ERR_BUSY = 5,
  /* An exposure is already running on this handle. */
  TARNCAM_ERR_EXPOSING = 6,
  /* tarncam_wait_frame: no exposure was ever started on this handle. */
  TARNCAM_ERR_NO_EXPOSURE = 7,
  /* tarncam_wait_frame: the timeout passed before the exposure ended; the
   * exposure goes on. */
  TARNCAM_ERR_WAIT_TIMEOUT = 8,
  /* The camera did not complete a transfer within its timeout (for a frame:
   * every read ran into its timeout). */
  TARNCAM_ERR_TIMEOUT = 9,
  /* The exposure was ended by tarncam_cancel_exposure or tarncam_close. */
  TARNCAM_ERR_CANCELLED = 10,
  /* The camera ended the frame's transfer early: a short frame (the record
   * says how many rows arrived). */
  TARNCAM_ERR_SHORT_FRAME = 11,
  /* The camera refused a request (a stalled control transfer). */
  TARNCAM_ERR_PROTOCOL = 12,
  /* The camera sent more data than was asked for. */
  TARNCAM_ERR_OVERFLOW = 13,
  /* Any other failure of a transfer or of the USB stack. */
  TARNCAM_ERR_IO = 14,
  /* Memory ran out (in the library or in the USB stack). */
  TARNCAM_ERR_NO_MEMORY = 15,
  /* The camera runs firmware this library does not drive; the version it
   * reported is in tarncam_error_detail.firmware_version (0xDEAD: a camera
   * of another kind). The camera was closed again. */
  TARNCAM_ERR_WRONG_FIRMWARE = 16,
  /* The camera's controller came up without firmware and did not take it:
   * still blank after two downloads. */
  TARNCAM_ERR_FIRMWARE_LOAD = 17,
  /* The handle is being closed: tarncam_wait_frame was waiting when
   * tarncam_close began, or a call began while tarncam_close ran (from a
   * frame callback, or another thread). */
  TARNCAM_ERR_CLOSED = 18
} tarncam_status;

/* The status in words ("no device", "timed out", ...): a constant string,
 * never null; "unknown status" for a value not listed above. */
TARNCAM_CAMERA_API const char* tarncam_status_text(tarncam_status status);

typedef struct tarncam_error_detail {
  uint32_t struct_size;
  /* The status the call returned. */
  int32_t status;
  /* The operating system's code behind it, as the USB backend received it
   * (errno, a libusb error code); 0 when there is none. */
  int32_t os_error;
  /* TARNCAM_ERR_WRONG_FIRMWARE: the version the camera reported. */
  uint32_t firmware_version;
  /* One line for people: what failed and why, e.g. "bulk read: timed out
   * after 5 attempts". "" after a call that succeeded. */
  char message[160];
} tarncam_error_detail;

/* Fills `detail` with the outcome of the last call on this thread that
 * returns a tarncam_status (other than tarncam_last_error itself); a call
 * that succeeds leaves status TARNCAM_OK and an empty message. Returns
 * TARNCAM_OK, or TARNCAM_ERR_INVALID_ARGUMENT for a null `detail` or a
 * struct_size that is too small. */
TARNCAM_CAMERA_API tarncam_status tarncam_last_error(tarncam_error_detail* detail);

/* The library's version: (major << 16) | (minor << 8) | patch. */
TARNCAM_CAMERA_API uint32_t tarncam_library_version(void);

/* ------------------------------------------------------------------------
 * Cameras
 */

typedef struct tarncam_camera tarncam_camera;

/* Room for an identifier, the terminating NUL included. */
#define TARNCAM_ID_SIZE 1024

/* The firmware version this library drives: what a camera it opens reports
 * (tarncam_camera_info.firmware_version). Any other is refused with
 * TARNCAM_ERR_WRONG_FIRMWARE. */
#define TARNCAM_FIRMWARE_VERSION 0x0132901Du

/* Bit of the identification word that marks a colour (Bayer) camera. */
#define TARNCAM_IDENTIFICATION_COLOUR_BIT 0x01000000u

typedef struct tarncam_camera_info {
  uint32_t struct_size;
  /* What tarncam_open_id takes. For a USB camera, the USB backend's path of
   * the device, which names where it is plugged in ("usb:1-2.3"); for a simulated camera
   * "sim:N". Stays the same while the camera stays on the same port, also
   * across the firmware download of a blank controller. */
  char id[TARNCAM_ID_SIZE];
  /* Where it is: "1-2.3" (bus 1, port 2, port 3 of the hub there), as
   * `tarncam list` shows it and --device takes it; may be "". */
  char location[64];
  /* Serial-number string; "" when none or unknown. */
  char serial[64];
  uint16_t vendor_id;  /* USB IDs; 0 when unknown */
  uint16_t product_id;
  /* 1: the controller has no firmware yet (opening downloads it);
   * 0: programmed; -1: unknown. */
  int32_t blank;
  /* The camera's identification word (the four bytes of request 0x26, byte
   * 1 lowest); 0 when unknown (a blank controller, or a camera in use
   * elsewhere). */
  uint32_t identification;
  /* 1: colour (Bayer mosaic), 0: monochrome, -1: unknown. From the
   * identification word's TARNCAM_IDENTIFICATION_COLOUR_BIT. */
  int32_t colour;
  /* 1: a simulated camera. */
  int32_t simulated;
  /* 1: open through a handle of this process. */
  int32_t open;
  /* The firmware version the camera reported when it was opened; 0 when it
   * is not open here. */
  uint32_t firmware_version;
} tarncam_camera_info;

/* Lists the cameras present: those the build's USB backend finds, in the
 * backend's order, then the simulated cameras added with tarncam_sim_add, in
 * the order they were added (not those of tarncam_open_simulated, nor a
 * simulated camera that is unplugged). Set infos[0].struct_size: the library
 * takes it as the size of every element. Writes at most `capacity` entries
 * and stores in *count how many cameras are present (which may be more).
 * `infos` may be null when `capacity` is 0.
 *
 * A programmed camera that is not open here is opened briefly to read its
 * identification word (nothing else is sent); one that another program
 * holds is listed with what the backend knows. Blank controllers are not
 * touched.
 *
 * Returns TARNCAM_OK, or TARNCAM_ERR_INVALID_ARGUMENT (null `count`, or a
 * null or too small `infos` with `capacity` above 0). */
TARNCAM_CAMERA_API tarncam_status tarncam_list_cameras(tarncam_camera_info* infos,
                                                       uint32_t capacity, uint32_t* count);

/* Opens the camera at `index` of the list that tarncam_list_cameras gives at
 * this moment, or the camera with identifier `id`. Opening downloads firmware
 * into a blank controller (the camera then restarts: more than 5 seconds)
 * and checks the firmware version. The settings start at their defaults
 * (tarncam_control_range) and a full 752 x 480 window.
 *
 * Blocks until the camera is open or the open failed. On success stores the
 * handle in *camera and returns TARNCAM_OK. Fails with:
 *   TARNCAM_ERR_INVALID_ARGUMENT  null `camera` or `id`, or an empty `id`;
 *   TARNCAM_ERR_NO_DEVICE         no camera at that index or with that id;
 *   TARNCAM_ERR_BUSY              the camera is open through another handle
 *                                 of this process, or another program holds it;
 *   TARNCAM_ERR_ACCESS            the system refused access;
 *   TARNCAM_ERR_FIRMWARE_LOAD     a blank controller did not take the firmware;
 *   TARNCAM_ERR_WRONG_FIRMWARE    the firmware version is not the one this
 *                                 library drives (tarncam_last_error has it);
 *   TARNCAM_ERR_TIMEOUT, _PROTOCOL, _IO, _NO_MEMORY
 *                                 the version query or the identification
 *                                 failed, or the USB stack did.
 * *camera is left unchanged on failure. */
TARNCAM_CAMERA_API tarncam_status tarncam_open_index(uint32_t index, tarncam_camera** camera);
TARNCAM_CAMERA_API tarncam_status tarncam_open_id(const char* id, tarncam_camera** camera);

/* Closes the camera: cancels a running exposure (its waiters and callback
 * see it end with TARNCAM_ERR_CANCELLED), waits for the readout to end and
 * joins the camera's worker thread, stops nothing on the guide port (pulses
 * the camera times run out by themselves), and frees the handle. Blocks
 * until all that is done: promptly, since the library cancels its own
 * pending transfer even when the camera ignores the abort. Returns
 * TARNCAM_OK (also for a camera that has gone away),
 * TARNCAM_ERR_INVALID_ARGUMENT for a null `camera`, or TARNCAM_ERR_BUSY when
 * called from the camera's own frame callback (nothing is done then). */
TARNCAM_CAMERA_API tarncam_status tarncam_close(tarncam_camera* camera);

/* Fills `info` with what is known of the open camera (`open` is 1, and
 * `identification`, `colour` and `firmware_version` are known). Returns
 * TARNCAM_OK, TARNCAM_ERR_INVALID_ARGUMENT, TARNCAM_ERR_NO_DEVICE when the
 * camera has gone away (`info` is filled all the same), or TARNCAM_ERR_CLOSED
 * when called while tarncam_close runs. */
TARNCAM_CAMERA_API tarncam_status tarncam_get_info(tarncam_camera* camera,
                                                   tarncam_camera_info* info);

/* ------------------------------------------------------------------------
 * Simulated cameras
 *
 * Each simulated camera is its own device with its own state (tarncam_sim.h
 * describes what it models and its options). A program may have any number
 * of them at once, beside real cameras.
 */

/* Adds a simulated camera to the cameras present and stores its identifier
 * ("sim:1", "sim:2", ...) in `id` (room for `id_size` bytes, at most
 * TARNCAM_ID_SIZE are needed). It stays until tarncam_sim_remove. Returns
 * TARNCAM_OK, TARNCAM_ERR_INVALID_ARGUMENT (null pointers, an options
 * struct_size below the first version's, `id_size` too small) or
 * TARNCAM_ERR_OUT_OF_RANGE (option values the simulator refuses). */
TARNCAM_CAMERA_API tarncam_status tarncam_sim_add(const tarncam_sim_options* options, char* id,
                                                  size_t id_size);

/* Removes a simulated camera from the cameras present. A handle open on it
 * keeps it alive, unplugged: its calls return TARNCAM_ERR_NO_DEVICE until it
 * is closed. Returns TARNCAM_OK or TARNCAM_ERR_NO_DEVICE (no simulated camera
 * with that id). */
TARNCAM_CAMERA_API tarncam_status tarncam_sim_remove(const char* id);

/* Unplugs (0) or plugs in (1) a simulated camera; handles open on it go dead
 * when it is unplugged, as with a real camera. Works for cameras of
 * tarncam_open_simulated too (by the id tarncam_get_info reports). Returns
 * TARNCAM_OK or TARNCAM_ERR_NO_DEVICE. */
TARNCAM_CAMERA_API tarncam_status tarncam_sim_set_connected(const char* id, int connected);

/* The counters and guide offset of a simulated camera. Returns TARNCAM_OK,
 * TARNCAM_ERR_INVALID_ARGUMENT or TARNCAM_ERR_NO_DEVICE. */
TARNCAM_CAMERA_API tarncam_status tarncam_sim_camera_stats(const char* id,
                                                           tarncam_sim_stats* stats);

/* Creates a simulated camera of its own and opens it: tarncam_sim_add and
 * tarncam_open_id in one, except that the camera is not listed and goes away
 * when the handle is closed. Statuses as tarncam_sim_add and tarncam_open_id
 * (a simulated camera configured with wrong firmware gives
 * TARNCAM_ERR_WRONG_FIRMWARE, one that is not present TARNCAM_ERR_NO_DEVICE). */
TARNCAM_CAMERA_API tarncam_status tarncam_open_simulated(const tarncam_sim_options* options,
                                                         tarncam_camera** camera);

/* ------------------------------------------------------------------------
 * Settings
 *
 * Settings belong to the handle and may be changed at any time, also while
 * an exposure runs: each exposure takes the settings as they stand when it
 * starts, and the camera is programmed with them then. A value outside the
 * control's range is refused with TARNCAM_ERR_OUT_OF_RANGE and nothing
 * changes.
 */

typedef enum tarncam_control {
  TARNCAM_CONTROL_EXPOSURE_MS = 0,     /* 0 .. 3,600,000 ms; default 50 */
  TARNCAM_CONTROL_GAIN = 1,            /* 0 .. 100; default 50 */
  TARNCAM_CONTROL_OFFSET = 2,          /* 0 .. 255; default 127. The camera has no
                                          offset of its own: recorded in frame
                                          records, never sent */
  TARNCAM_CONTROL_BIT_DEPTH = 3,       /* 8 or 10 (10-bit samples arrive in 16-bit
                                          words, 0 .. 1023); default 8 */
  TARNCAM_CONTROL_FLIP_HORIZONTAL = 4, /* 0 or 1; default 0 */
  TARNCAM_CONTROL_FLIP_VERTICAL = 5,   /* 0 or 1; default 0 */
  TARNCAM_CONTROL_ROW_NOISE = 6,       /* the sensor's row noise correction, 0 or 1;
                                          default 1 */
  TARNCAM_CONTROL_AGC = 7,             /* the sensor's automatic gain, 0 or 1; default 0 */
  TARNCAM_CONTROL_COMPANDING = 8,      /* the sensor's companding, 0 or 1; default 0 */
  TARNCAM_CONTROL_ADC_REFERENCE = 9,   /* reference level of the converter, 0 .. 6;
                                          default 0 */
  TARNCAM_CONTROL_DIGITAL_GAIN = 10,   /* 0 .. 255; default 244 */
  TARNCAM_CONTROL_COUNT = 11
} tarncam_control;

/* The range and default of a control; needs no camera. Any output pointer
 * may be null. TARNCAM_CONTROL_BIT_DEPTH reports 8 .. 10 and takes only 8
 * and 10. Returns TARNCAM_OK or TARNCAM_ERR_INVALID_ARGUMENT (unknown
 * control). */
TARNCAM_CAMERA_API tarncam_status tarncam_control_range(tarncam_control control, int64_t* min,
                                                        int64_t* max, int64_t* default_value);

/* Sets or reads one control of the handle. Return TARNCAM_OK,
 * TARNCAM_ERR_INVALID_ARGUMENT (null camera or value pointer, unknown
 * control), TARNCAM_ERR_OUT_OF_RANGE (set only) or TARNCAM_ERR_NO_DEVICE
 * (the camera has gone away; get still fills *value). */
TARNCAM_CAMERA_API tarncam_status tarncam_set_control(tarncam_camera* camera,
                                                      tarncam_control control, int64_t value);
TARNCAM_CAMERA_API tarncam_status tarncam_get_control(tarncam_camera* camera,
                                                      tarncam_control control, int64_t* value);

/* The sensor: 752 columns by 480 rows. A window shorter than the full
 * height reads rows of the 616 centre columns only. */
#define TARNCAM_SENSOR_WIDTH 752u
#define TARNCAM_SENSOR_HEIGHT 480u
#define TARNCAM_WINDOWED_ROW_WIDTH 616u

/* The pixel pitch in micrometres, nominal: nothing in the camera reports it
 * (a 1/3-inch sensor of 752 columns has pixels of about 6 um). Front ends
 * offer it where their clients ask for one. */
#define TARNCAM_NOMINAL_PIXEL_SIZE_UM 6.0

/* The widest window the camera reads `height` rows high: the whole sensor
 * row at full height, the centre columns below it, and 0 for a height of 0
 * or beyond the sensor. A window of width x height fits (tarncam_set_window
 * takes it) when 1 <= width <= this. */
static inline uint32_t tarncam_window_max_width(uint32_t height) {
  if (height < 1 || height > TARNCAM_SENSOR_HEIGHT) return 0;
  return height == TARNCAM_SENSOR_HEIGHT ? TARNCAM_SENSOR_WIDTH : TARNCAM_WINDOWED_ROW_WIDTH;
}

/* Colours of mosaic sites. Red sits at even row and even column of the full
 * 752 x 480 sensor, blue at odd row and odd column, green between. */
#define TARNCAM_COLOUR_NONE 0        /* monochrome camera */
#define TARNCAM_COLOUR_RED 1
#define TARNCAM_COLOUR_GREEN_RED 2   /* green on a row with red */
#define TARNCAM_COLOUR_GREEN_BLUE 3  /* green on a row with blue */
#define TARNCAM_COLOUR_BLUE 4

typedef struct tarncam_window {
  uint32_t struct_size;
  uint32_t width;   /* columns of the frame */
  uint32_t height;  /* rows of the frame */
  /* Sensor column and row of the window's corner nearest the sensor's
   * origin: it covers columns x_origin .. x_origin + width - 1 and rows
   * y_origin .. y_origin + height - 1. */
  uint32_t x_origin;
  uint32_t y_origin;
  /* Sensor site of the frame's first pixel (row 0, column 0 as delivered):
   * the corner at the origin, or with a flip the opposite one. Each further
   * pixel of a row, and each further row, moves one site on from it. */
  uint32_t first_x;
  uint32_t first_y;
  int32_t first_colour;   /* TARNCAM_COLOUR_* of the first pixel */
  char bayer_pattern[8];  /* the 2 x 2 cell at the first pixel as FITS BAYERPAT
                             spells it ("RGGB", "GRBG", "GBRG", "BGGR"); ""
                             for a monochrome camera */
  uint32_t bytes_per_sample;  /* 1 (8-bit) or 2 (10-bit, host order) */
  uint64_t frame_bytes;       /* width * height * bytes_per_sample */
} tarncam_window;

/* Sets the window, which the camera places itself: centred vertically on an
 * even row; a full-height window (480 rows) reads whole sensor rows, a
 * shorter one rows of the 616 centre columns; the window is cut from the
 * start of each row (50 columns in for widths 376 and 400). So: height
 * 1 .. 480, and width 1 .. 752 for a height of 480, 1 .. 616 otherwise.
 * Returns TARNCAM_OK, TARNCAM_ERR_INVALID_ARGUMENT (null camera),
 * TARNCAM_ERR_OUT_OF_RANGE or TARNCAM_ERR_NO_DEVICE. */
TARNCAM_CAMERA_API tarncam_status tarncam_set_window(tarncam_camera* camera, uint32_t width,
                                                     uint32_t height);

/* Where the window of the current settings lies on the sensor, what colour
 * its first pixel has and how many bytes a frame takes (flips and bit depth
 * included). Returns TARNCAM_OK, TARNCAM_ERR_INVALID_ARGUMENT or
 * TARNCAM_ERR_NO_DEVICE (still filled). */
TARNCAM_CAMERA_API tarncam_status tarncam_get_window(tarncam_camera* camera,
                                                     tarncam_window* window);

/* ------------------------------------------------------------------------
 * Exposures
 */

/* What became of an exposure. tarncam_last_frame (tarncam_native.h) numbers
 * the same outcomes one higher, 0 there meaning no frame:
 * TARNCAM_LAST_FRAME_COMPLETE is TARNCAM_FRAME_COMPLETE + 1, and so on. */
#define TARNCAM_FRAME_COMPLETE 0  /* every byte of the frame arrived */
#define TARNCAM_FRAME_SHORT 1     /* the transfer ended early (cancelled, or cut
                                     short by the camera): rows_received rows
                                     hold data of this exposure */
#define TARNCAM_FRAME_FAILED 2    /* nothing arrived: every read failed, or the
                                     camera could not be programmed (also when
                                     a retry's controller restart dropped the
                                     settings and sending them again failed:
                                     the frame read then is not this one) */

typedef struct tarncam_frame_record {
  uint32_t struct_size;
  /* 1 for the first exposure started on the handle, then 2, 3, ... */
  uint64_t sequence;
  int32_t outcome;   /* TARNCAM_FRAME_* */
  /* TARNCAM_OK for a complete frame; otherwise why not: CANCELLED,
   * SHORT_FRAME, TIMEOUT, IO, PROTOCOL, OVERFLOW, NO_DEVICE, ... */
  int32_t status;
  int32_t os_error;  /* the operating system's code behind `status`; 0 none */
  /* When the read that carried the frame was issued (the camera starts the
   * exposure on it) and when the frame's last byte arrived (the light ended
   * one transfer time before). UTC in nanoseconds since 1970-01-01, and the
   * library's monotonic clock (CLOCK_MONOTONIC). For a failed frame: the
   * last read attempted. */
  int64_t start_utc_ns;
  int64_t end_utc_ns;
  uint64_t start_monotonic_ns;
  uint64_t end_monotonic_ns;
  /* The settings the exposure was taken with. */
  uint32_t exposure_ms;
  uint32_t gain;
  uint32_t offset;
  uint32_t bit_depth;         /* 8 or 10 */
  uint32_t bytes_per_sample;  /* 1 or 2 */
  int32_t flip_horizontal;
  int32_t flip_vertical;
  /* The window, as tarncam_window describes it. */
  uint32_t width;
  uint32_t height;
  uint32_t x_origin;
  uint32_t y_origin;
  int32_t first_colour;   /* TARNCAM_COLOUR_*; TARNCAM_COLOUR_NONE on a mono camera */
  char bayer_pattern[8];  /* "" on a monochrome camera */
  /* The transfer. A read that fails is retried after a controller reset, up
   * to five reads in all. */
  uint32_t reads_attempted;
  uint32_t reads_failed;
  uint32_t rows_received;   /* rows of the window delivered whole: `height` for
                               a complete frame */
  uint64_t bytes_received;  /* of the transfer, blanking included */
  /* The frame in the caller's buffer: `height` rows of `width` samples, 8-bit
   * as bytes, 10-bit as 16-bit words in host order holding 0 .. 1023. The
   * rows after rows_received are zero: no byte of an earlier frame is ever
   * left standing in the buffer. */
  void* buffer;
  uint64_t frame_bytes;
} tarncam_frame_record;

/* Called once for each exposure that had a callback when it started, on the
 * camera's worker thread, after the exposure has ended and the buffer holds
 * everything it will get. `record` is valid during the call only. */
typedef void (*tarncam_frame_callback)(tarncam_camera* camera,
                                       const tarncam_frame_record* record, void* user_data);

/* Starts an exposure with the handle's current settings and returns at once.
 * The camera's worker programs the camera (the sensor needs 500 ms to take
 * new settings; nothing is sent when nothing changed), reads the frame, and
 * copies it into `buffer`, which must hold the frame (tarncam_get_window's
 * frame_bytes) and stay valid until the exposure has ended: until
 * tarncam_wait_frame returned its record, the callback returned, or
 * tarncam_cancel_exposure or tarncam_close returned. `callback` (may be
 * null) is called with the record when the exposure ends.
 * Returns TARNCAM_OK, TARNCAM_ERR_INVALID_ARGUMENT (null camera or buffer,
 * buffer smaller than the frame), TARNCAM_ERR_EXPOSING (one is running) or
 * TARNCAM_ERR_NO_DEVICE (the camera has gone away). */
TARNCAM_CAMERA_API tarncam_status tarncam_start_exposure(tarncam_camera* camera, void* buffer,
                                                         size_t buffer_size,
                                                         tarncam_frame_callback callback,
                                                         void* user_data);

#define TARNCAM_WAIT_FOREVER 0xFFFFFFFFu

/* Waits up to `timeout_ms` (TARNCAM_WAIT_FOREVER: no limit; 0: just look)
 * for the exposure started last to end, then fills `record` (may be null)
 * and returns the record's status: TARNCAM_OK for a complete frame, else
 * why not (see tarncam_frame_record.status). Once an exposure has ended,
 * every wait returns its record until the next one starts (and a wait that
 * began earlier may get that later exposure's record if it ended too).
 * Without a record: TARNCAM_ERR_INVALID_ARGUMENT (null camera, record too
 * small), TARNCAM_ERR_NO_EXPOSURE (none started yet),
 * TARNCAM_ERR_WAIT_TIMEOUT (still running) or TARNCAM_ERR_CLOSED (the
 * handle is being closed). Once the camera is known to have gone away the
 * wait returns TARNCAM_ERR_NO_DEVICE, whatever the record says (the record
 * of an ended exposure is still filled). Any number of threads may wait at
 * once. */
TARNCAM_CAMERA_API tarncam_status tarncam_wait_frame(tarncam_camera* camera, uint32_t timeout_ms,
                                                     tarncam_frame_record* record);

/* Ends the running exposure early and returns once it has ended: the camera
 * is sent its abort (it then ends the transfer short, and the frame's record
 * says TARNCAM_FRAME_SHORT with the rows that arrived), the library cancels
 * its pending transfer and makes no further read. The exposure's record has
 * status TARNCAM_ERR_CANCELLED. Returns TARNCAM_OK (also when nothing was
 * running), TARNCAM_ERR_INVALID_ARGUMENT or TARNCAM_ERR_NO_DEVICE (the camera
 * has gone away; the exposure has ended all the same). Called from the
 * camera's own callback it does not wait. */
TARNCAM_CAMERA_API tarncam_status tarncam_cancel_exposure(tarncam_camera* camera);

/* ------------------------------------------------------------------------
 * Guide port
 *
 * Pulses run on two axes, X and Y, each in a plus or a minus direction
 * (which way that moves the telescope depends on the mount and on how the
 * camera sits in it). The camera times a pulse itself; a new pulse on an axis
 * replaces the one running there. Guide calls may be made during exposures.
 */

#define TARNCAM_GUIDE_PLUS_X 0x1u
#define TARNCAM_GUIDE_MINUS_X 0x2u
#define TARNCAM_GUIDE_PLUS_Y 0x4u
#define TARNCAM_GUIDE_MINUS_Y 0x8u

#define TARNCAM_GUIDE_AXIS_X 0x1u
#define TARNCAM_GUIDE_AXIS_Y 0x2u

/* A duration that lasts until tarncam_guide_stop. */
#define TARNCAM_GUIDE_UNTIL_STOPPED (-1)
/* The longest timed pulse, in ms (the camera counts tenths of a millisecond
 * in a signed 32-bit field). */
#define TARNCAM_GUIDE_MAX_MS 214748364

/* Starts a pulse on each axis named in `directions` (one direction bit per
 * axis at most): `x_ms` for the X axis, `y_ms` for the Y axis, each 1 ..
 * TARNCAM_GUIDE_MAX_MS or TARNCAM_GUIDE_UNTIL_STOPPED; the duration of an
 * axis not named is ignored and that axis is left as it is. Returns
 * TARNCAM_OK once the camera took the command, TARNCAM_ERR_INVALID_ARGUMENT
 * (null camera; no direction, both directions of one axis, or unknown bits),
 * TARNCAM_ERR_OUT_OF_RANGE (a duration), TARNCAM_ERR_NO_DEVICE, or the
 * transfer's failure (TARNCAM_ERR_PROTOCOL, _TIMEOUT, _IO, ...; the pulse
 * state is then unchanged). */
TARNCAM_CAMERA_API tarncam_status tarncam_guide_pulse(tarncam_camera* camera, uint32_t directions,
                                                      int32_t x_ms, int32_t y_ms);

/* Stops the pulses on the axes named in `axes` (TARNCAM_GUIDE_AXIS_X,
 * TARNCAM_GUIDE_AXIS_Y or both). Returns as tarncam_guide_pulse; `axes` 0 or
 * with unknown bits is TARNCAM_ERR_INVALID_ARGUMENT. */
TARNCAM_CAMERA_API tarncam_status tarncam_guide_stop(tarncam_camera* camera, uint32_t axes);

typedef struct tarncam_guide_state {
  uint32_t struct_size;
  /* Per axis: the direction bit of the pulse running now (0: none). */
  uint32_t x_direction;
  uint32_t y_direction;
  /* Per axis: milliseconds left of the running pulse, by the library's
   * clock since the camera took the command (0: none running;
   * TARNCAM_GUIDE_UNTIL_STOPPED: runs until stopped). */
  int64_t x_remaining_ms;
  int64_t y_remaining_ms;
} tarncam_guide_state;

/* Which axes are pulsing and for how much longer. Returns TARNCAM_OK,
 * TARNCAM_ERR_INVALID_ARGUMENT or TARNCAM_ERR_NO_DEVICE (still filled: the
 * pulses as last known). */
TARNCAM_CAMERA_API tarncam_status tarncam_guide_get_state(tarncam_camera* camera,
                                                          tarncam_guide_state* state);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* TARNCAM_TARNCAM_CAMERA_H */
