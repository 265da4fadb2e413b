/*
 * Extra exports of the stand-in winusb.dll that hosts the simulated camera
 * for Wine tests of the unmodified TARNCAM32.dll. A test program finds them
 * with GetProcAddress(GetModuleHandleA("winusb.dll"), name) once the DLL has
 * been loaded (it imports winusb.dll, so the stand-in comes with it).
 *
 * The stand-ins check every argument that the DLL hands to the device-setup
 * services and to WinUSB against what the DLL's contract with them fixes,
 * count the calls, and keep a log of them. A call with a wrong argument still
 * goes through where it can, but counts as a violation: the first one is
 * kept as text, so a test can say what went wrong.
 *
 * Plain C and fixed-width fields only: the stand-ins and the test program are
 * built by different compilers' thread models and must agree on the layout.
 */
#ifndef TARNCAM_SIM_WIN32_WINSIM_H
#define TARNCAM_SIM_WIN32_WINSIM_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct tarncam_winsim_stats {
  uint32_t struct_size; /* set by the caller: sizeof(tarncam_winsim_stats) */

  /* --- Device-setup services (setupapi.dll stand-in) --- */
  uint32_t class_devs;      /* SetupDiGetClassDevsA calls */
  uint32_t enum_interfaces; /* SetupDiEnumDeviceInterfaces calls */
  uint32_t detail_queries;  /* SetupDiGetDeviceInterfaceDetailA without a buffer */
  uint32_t detail_fetches;  /* ... with one */
  uint32_t destroys;        /* SetupDiDestroyDeviceInfoList calls */
  int32_t sets_alive;       /* information sets handed out and not destroyed */

  /* --- WinUSB (winusb.dll stand-in) --- */
  uint32_t initializes;        /* WinUsb_Initialize calls */
  uint32_t initialize_invalid; /* ... refused for INVALID_HANDLE_VALUE */
  uint32_t frees;              /* WinUsb_Free calls */
  int32_t interfaces_alive;    /* interface handles handed out and not freed */
  uint32_t stall_policies;     /* AUTO_CLEAR_STALL settings */
  uint32_t timeout_policies;   /* PIPE_TRANSFER_TIMEOUT settings */
  uint32_t last_timeout_ms;    /* the last PIPE_TRANSFER_TIMEOUT value */
  uint32_t last_program_ms;    /* exposure carried by the last request 0x13 */
  uint32_t control_transfers;  /* WinUsb_ControlTransfer calls */
  uint32_t reads;              /* WinUsb_ReadPipe calls */
  uint32_t read_failures;      /* ... that returned FALSE */
  uint32_t read_pending;       /* 1 while the camera holds a read open (an abort
                                  written now ends it) */
  uint32_t last_read_length;   /* bytes the last read asked for */
  uint32_t last_frame_bytes;   /* bytes the camera sends per frame, at that read */
  uint32_t last_read_thread;   /* Windows thread id that made the last read */
  uint32_t writes;             /* WinUsb_WritePipe calls */
  uint32_t max_threads_inside; /* most threads inside the stand-in at once */

  /* --- The simulated camera --- */
  uint64_t frames;             /* full frames delivered */
  uint64_t aborts;             /* abort bytes that ended a pending read */
  uint64_t firmware_downloads; /* downloads that made the controller restart */
  uint64_t programmings;       /* register blocks received */
  double guide_offset_x;       /* star-field offset in pixels, now */
  double guide_offset_y;
  int32_t programmed; /* the controller runs firmware */
  int32_t present;    /* the camera is on the bus */

  /* --- Contract checks --- */
  uint32_t violations;       /* calls with an argument outside the contract */
  char first_violation[256]; /* what the first one was; "" when none */
} tarncam_winsim_stats;

/* Replaces the simulated camera by a fresh one configured from a list of
 * key=value pairs separated by commas, starting from the simulator's
 * defaults (the empty string keeps them all), and clears every counter and
 * the call log. Keys: scene (stars | test-pattern), colour, seed, present,
 * blank, stays_blank, renumerate_ms, firmware_version, fail_read,
 * fail_read_count, timeout_read, short_read, fail_control, disconnect_read,
 * replug_ms, star_count, star_brightness, sky_level, read_noise, seeing,
 * hot_pixels, guide_rate; and for the stand-ins themselves device_file
 * (present | missing: the enumeration names a path that cannot be opened).
 * Returns 0, or -1 for an unknown key or a value
 * out of range (the camera is then left as it was). Call it with no device
 * open and no exposure running. Without a call the camera is configured from
 * the environment variable TARNCAM_SIM in the same syntax. */
typedef int(__stdcall* TarncamSimConfigureFn)(const char* options);

/* Fills `stats` (struct_size set by the caller). Returns 0, or -1 when
 * struct_size is wrong. */
typedef int(__stdcall* TarncamSimStatsFn)(tarncam_winsim_stats* stats);

/* Copies the call log, NUL-terminated, into `text` (at most capacity - 1
 * characters of it) and empties it. Entries end with ';':
 *   classdevs  enum <member>  detail-size  detail <cbSize>  destroy
 *   init  free  policy <pipe> <policy> <value>  ctl <type> <req> <value> <index> <len>
 *   read <pipe> <length>  write <pipe> <first byte>
 * numbers in hexadecimal (two digits for bytes, four for words, plain for
 * values and lengths). Firmware downloads log as one "firmware <records>;"
 * entry instead of one ctl entry per record. Returns the full length. */
typedef uint32_t(__stdcall* TarncamSimTakeLogFn)(char* text, uint32_t capacity);

/* Acts on the camera's device side, for the USB contract's cases: "hold"
 * keeps every bulk read pending (until an abort, a timeout or an unplug ends
 * it), "release" lets reads end with their frames again; "pending" waits up
 * to 10 s for a read to be pending and returns 1 when one is, else 0;
 * "stall", "short" and "zero-length" shape the next bulk read; "unplug"
 * takes the camera off the bus; "frame-bytes" returns the bytes of the frame
 * a read delivers now. Returns 0 (or the answer asked for), -1 for an
 * unknown command. */
typedef int(__stdcall* TarncamSimDeviceFn)(const char* command);

/* The simulator's test-pattern sample at transfer row and column. */
typedef uint32_t(__stdcall* TarncamSimTestPatternFn)(uint32_t row, uint32_t column, int ten_bit);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* TARNCAM_SIM_WIN32_WINSIM_H */
