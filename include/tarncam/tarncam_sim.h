/*
 * tarncam simulator: a model of the camera behind the library's USB seam, for
 * the native library only (libtarncam.so; never part of the Windows DLL).
 *
 * tarncam_sim_attach() creates one simulated camera, running on the real
 * clock with the library's POSIX system services, and points the 36 exported
 * functions of tarncam.h at it. tarncam_sim_detach() points them back at the
 * library's own platform and removes the simulated camera. Call both only
 * while no exposure runs (isExposing() is 0) and no other thread is inside an
 * exported function.
 *
 * What the simulated camera does:
 *  - Enumeration: present or not. Its device descriptor shows a blank
 *    controller (serial-number index, byte 16, is 0) or a programmed one. A
 *    blank controller takes firmware into its RAM through request 0xA0; when
 *    the CPU reset is released after a download, the camera drops off the bus
 *    (open handles go dead) for `renumerate_ms`, then comes back programmed
 *    if the downloaded bytes equal the library's embedded firmware image, and
 *    blank otherwise (or always blank with `stays_blank`). An unplugged
 *    camera keeps its firmware unless `replug_blank` says it lost power.
 *  - Identification (request 0x26, index 1..4): see `id_word` below. Bit 0 of
 *    byte 4 (bit 24 of GetVIDPID()'s word) set means a colour camera.
 *  - Colour mosaic: colour 1 = red at even row / even column of the full
 *    752 x 480 sensor, green at even/odd and odd/even, blue at odd/odd.
 *  - Guide port (request 0x10): direction bit 0 moves the star field +X
 *    (towards larger columns), bit 1 -X, bit 2 +Y (towards larger rows), bit 3
 *    -Y. The first duration drives X, the second Y, in the wire unit of
 *    0.1 ms; -1 moves until cancelled. An axis with both of its bits set is
 *    stopped. The field moves at `guide_rate` pixels per second of pulse.
 *    Request 0x18 stops both axes, 0x21 X, 0x22 Y.
 *  - Scenes: a synthetic star field (Moffat stars at sub-pixel positions, sky
 *    background, Poisson shot noise, read noise, hot pixels, flips), or a test
 *    pattern whose samples are a fixed function of transfer row and column.
 *
 * All option fields are plain values; start from tarncam_sim_default_options()
 * and change what you need. Later versions only append fields; `struct_size`
 * tells the library which fields the caller knows.
 */
#ifndef TARNCAM_TARNCAM_SIM_H
#define TARNCAM_TARNCAM_SIM_H

#include <stdint.h>

/* The Windows stand-ins for the USB stack (sim/win32) build the simulated
 * camera into their own DLLs and include this header for its options; no
 * Windows build of the library itself carries the simulator. */
#if defined(_WIN32) && !defined(TARNCAM_SIM_WIN32_STANDIN)
#error "the simulator is part of the native library only"
#endif

#if defined(_WIN32)
#define TARNCAM_SIM_API
#else
#define TARNCAM_SIM_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Scenes. */
#define TARNCAM_SIM_SCENE_STARS 0
#define TARNCAM_SIM_SCENE_TEST_PATTERN 1

/* Guide direction bits (the index of request 0x10, GuideCommandXY's first
 * argument). */
#define TARNCAM_SIM_GUIDE_PLUS_X 0x1u
#define TARNCAM_SIM_GUIDE_MINUS_X 0x2u
#define TARNCAM_SIM_GUIDE_PLUS_Y 0x4u
#define TARNCAM_SIM_GUIDE_MINUS_Y 0x8u

/* Bit of GetVIDPID()'s word that marks a colour camera (bit 0 of byte 4). */
#define TARNCAM_SIM_ID_COLOUR_BIT 0x01000000u

typedef struct tarncam_sim_options {
  uint32_t struct_size; /* sizeof(tarncam_sim_options); set by default_options */

  /* --- Camera --- */
  int32_t colour;           /* 0 mono (default), 1 Bayer colour */
  int32_t scene;            /* TARNCAM_SIM_SCENE_*; default stars */
  uint64_t seed;            /* star field, noise and random faults; default 1 */
  int32_t present;          /* 0: no camera plugged in; default 1 */
  int32_t blank_controller; /* 1: the controller comes up without firmware */
  int32_t stays_blank;      /* 1: a download never takes (controller stays blank) */
  uint32_t renumerate_ms;   /* how long the camera is gone after a download; default 1500 */
  uint32_t firmware_version;  /* reply to query 99; default 0x0132901D */
  int32_t version_no_answer;  /* 1: query 99 is not answered (the transfer fails) */
  uint32_t id_word;         /* replies of request 0x26 index 1..4 as GetVIDPID() returns
                               them (index 1 = bits 0..7). 0 (default): derived,
                               0x00010254 for mono, 0x01010254 for colour */

  /* --- Star field (scene TARNCAM_SIM_SCENE_STARS) --- */
  uint32_t star_count;     /* stars over the full sensor; default 40, at most 10000 */
  double star_brightness;  /* electrons per second of the brightest star; default 200000 */
  double sky_level;        /* electrons per pixel per second of sky; default 200 */
  double read_noise;       /* electrons rms; default 6 */
  double seeing_px;        /* star FWHM in pixels, 0.1..20; default 3.0 */
  uint32_t hot_pixels;     /* default 12 */
  double guide_rate;       /* pixels per second of guide pulse; 0 (default): from
                              guide_rate_sidereal and the pixel scale, 5.01 px/s by default */

  /* --- Faults (deterministic: by read number and from `seed`) ---
   * Bulk reads are numbered from 1 since attach. */
  uint32_t fail_read_number;     /* this read fails (transfer error); 0 none */
  uint32_t fail_read_count;      /* ... and this many reads in all from it; default 1 */
  uint32_t timeout_read_number;  /* this read never completes: fails after the pipe timeout */
  uint32_t short_read_number;    /* this read ends short (half the frame), reporting success */
  double read_fail_probability;  /* each read fails with this probability */
  double read_timeout_probability;
  double short_read_probability;
  uint32_t fail_control_number;  /* this control transfer (numbered from 1) fails; 0 none */
  double control_fail_probability;
  uint32_t disconnect_read_number; /* the camera is unplugged during this read's exposure */
  uint32_t replug_ms;            /* ... and plugged in again (programmed) this much later; 0 never */

  /* --- Appended later (callers built against the first layout keep the defaults) --- */
  double disconnect_probability; /* each read: the camera is unplugged during its exposure
                                    (plugged in again after replug_ms, when that is not 0) */
  int32_t replug_blank;          /* 1: a camera that was unplugged lost power, so it comes
                                    back with a blank controller (no firmware in RAM) */
  int32_t ignore_abort;  /* 1: the camera ignores the abort byte: a pending read runs on to its
                            frame or its timeout (the host can still cancel its own transfer) */
  int32_t virtual_time;  /* 1: the camera, and the library's waits for it, run on a virtual
                            clock that moves only when something waits: exposures, transfers
                            and the protocol's fixed waits (500 ms, 3 s, 5 s) take no real
                            time, and frame times count from 2026-01-01T00:00:00Z. For tests */

  /* --- The sky under a mount (appended later). The star field sits on one
   * mount position shared by every frame: guide pulses, periodic error and
   * drift move it in time since the camera was created; X is right
   * ascension, Y declination. Stars are drawn where the mount pointed during
   * the light, so motion within an exposure trails them. --- */
  double focal_length_mm;   /* guide optics; with pixel_size_um the pixel scale
                               (206.265 * pixel_size_um / focal_length_mm "/px); default 825 */
  double pixel_size_um;     /* default 6.0 (so 1.50 "/px by default) */
  double guide_rate_sidereal; /* pulse speed as a fraction of sidereal (15.041 "/s); default
                                 0.5. Used when guide_rate is 0 (its default now) */
  double pe_amplitude_arcsec; /* right-ascension periodic error, half its peak to peak; default 0 */
  double pe_period_s;         /* its period; default 480 */
  double dec_drift_arcsec_per_s; /* declination drift (polar misalignment); default 0 */
  double jitter_arcsec;     /* seeing: each frame's stars displaced by a random offset of this
                               rms per axis; default 0 */
  uint32_t dec_backlash_ms; /* declination pulse time lost taking up gear play after the
                               direction reverses; default 0 */
  double fade_depth;        /* clouds: fraction of starlight lost at a cloud's thickest, 0..1;
                               default 0 (clear) */
  double fade_period_s;     /* a cloud passes every this many seconds; default 60 */
  double fade_length_s;     /* and dims the stars for this long; default 15 */
} tarncam_sim_options;

typedef struct tarncam_sim_stats {
  uint64_t control_transfers; /* control transfers that reached the camera */
  uint64_t reads;             /* bulk reads started */
  uint64_t frames;            /* full frames delivered */
  uint64_t aborts;            /* abort bytes received */
  uint64_t firmware_downloads; /* CPU releases after a download */
  uint64_t programmings;      /* register blocks received */
  double guide_offset_x;      /* star field offset in pixels, now: where the mount points
                                 (pulses, periodic error, drift) */
  double guide_offset_y;
  int32_t programmed;         /* 1: the controller runs firmware */
  int32_t present;            /* 1: the camera is on the bus */
} tarncam_sim_stats;

/* Fills `options` with the defaults above. */
TARNCAM_SIM_API void tarncam_sim_default_options(tarncam_sim_options* options);

/* Reads options from text, "key=value,key=value" over the defaults (a bare
 * key means 1; numbers in decimal or 0x hex): scene (stars, test-pattern),
 * seed, colour, present, blank (blank_controller), stays_blank,
 * renumerate_ms, firmware_version, fail_read (fail_read_number),
 * fail_read_count, timeout_read, short_read, fail_control, disconnect_read
 * (the *_number fields), replug_ms, read_fail_p, read_timeout_p, short_read_p,
 * control_fail_p, disconnect_p (the *_probability fields), replug_blank,
 * ignore_abort, virtual_time, star_count,
 * hot_pixels, star_brightness, sky_level, read_noise, seeing (seeing_px),
 * guide_rate, focal_length, pixel_size, guide_rate_sidereal, pe_amplitude,
 * pe_period, dec_drift, jitter, dec_backlash, fade_depth, fade_period,
 * fade_length, and mount=real (periodic error 15" over 480 s, declination
 * drift 0.05 "/s, jitter 0.3": a typical mount; later keys override it) or
 * mount=perfect (none of that). Returns 0, or -1 when `text` or `options` is null, a key is
 * unknown, a value malformed or the options out of range (as
 * tarncam_sim_attach judges them); then `error` (may be null) receives why,
 * cut to `error_size` bytes with its NUL, and `options` is unchanged. */
TARNCAM_SIM_API int tarncam_sim_parse_options(const char* text, tarncam_sim_options* options,
                                              char* error, uint32_t error_size);

/* Creates the simulated camera and routes the exported functions to it,
 * replacing any simulated camera attached before. Returns 0 on success, -1
 * when `options` is null, its struct_size is smaller than this first version
 * of the structure, or its values are out of range (scene unknown,
 * probabilities outside 0..1, seeing_px outside 0.1..20, star_count above
 * 10000, hot_pixels above 100000, levels that are negative, not finite or
 * above star_brightness 1e9, sky_level 1e7, read_noise 1e4, and guide_rate
 * beyond +-1e4 or not finite; focal_length_mm outside 1..100000, pixel_size_um
 * outside 0.1..100, guide_rate_sidereal outside 0..10, pe_amplitude_arcsec
 * outside 0..3600, pe_period_s outside 1..1e6, dec_drift beyond +-100 "/s,
 * jitter_arcsec outside 0..60, dec_backlash_ms above 60000, fade_depth
 * outside 0..1, fade_period_s outside 1..1e6, fade_length_s outside
 * 0..fade_period_s). */
TARNCAM_SIM_API int tarncam_sim_attach(const tarncam_sim_options* options);

/* Routes the exported functions back to the library's own platform and
 * removes the simulated camera. Does nothing when none is attached. */
TARNCAM_SIM_API void tarncam_sim_detach(void);

/* Unplugs (0) or plugs in (1) the attached camera. Plugging in presents a
 * programmed controller unless the camera was blank. Returns -1 when no
 * camera is attached. */
TARNCAM_SIM_API int tarncam_sim_set_present(int present);

/* Counters of the attached camera. Returns -1 when none is attached. */
TARNCAM_SIM_API int tarncam_sim_get_stats(tarncam_sim_stats* stats);

/* The test-pattern sample at transfer row `row` and column `column` (blanking
 * columns included), 0..255 or with `ten_bit` 0..1023:
 *   v = 3*column + 7*row + 11*(column >> 8) + 5*(row >> 6),
 * then v & 255 (8-bit) or v & 1023 (10-bit). */
TARNCAM_SIM_API uint32_t tarncam_sim_test_pattern(uint32_t row, uint32_t column, int ten_bit);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* TARNCAM_TARNCAM_SIM_H */
