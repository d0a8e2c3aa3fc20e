// SPDX-License-Identifier: Apache-2.0
// LD_PRELOAD virtual V4L2 camera: makes one device path (default /dev/video0) answer the
// syscalls and ioctls that a V4L2 capture client such as OpenCV's backend uses.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "frame_file.h"
#include "stamp.h"

#define EXPORT __attribute__((visibility("default")))
#define MAX_HANDLES 8
#define MAX_BUFS 16
#define MAX_MAPS 64
#define PATTERN_W 640
#define PATTERN_H 480
#define PATTERN_FRAMES 60

// ---- real libc entry points ----

static int (*real_open)(const char *, int, ...);
static int (*real_open64)(const char *, int, ...);
static int (*real_openat)(int, const char *, int, ...);
static int (*real_openat64)(int, const char *, int, ...);
static int (*real___open_2)(const char *, int);
static int (*real___open64_2)(const char *, int);
static int (*real___openat_2)(int, const char *, int);
static int (*real___openat64_2)(int, const char *, int);
static int (*real_close)(int);
static int (*real_ioctl)(int, unsigned long, ...);
static void *(*real_mmap)(void *, size_t, int, int, int, off_t);
static void *(*real_mmap64)(void *, size_t, int, int, int, off64_t);
static int (*real_munmap)(void *, size_t);
static int (*real_select)(int, fd_set *, fd_set *, fd_set *, struct timeval *);
static int (*real_poll)(struct pollfd *, nfds_t, int);

static pthread_once_t resolve_once = PTHREAD_ONCE_INIT;

static void resolve(void) {
#define R(name) real_##name = dlsym(RTLD_NEXT, #name)
  R(open);
  R(open64);
  R(openat);
  R(openat64);
  R(__open_2);
  R(__open64_2);
  R(__openat_2);
  R(__openat64_2);
  R(close);
  R(ioctl);
  R(mmap);
  R(mmap64);
  R(munmap);
  R(select);
  R(poll);
#undef R
}

static void init(void) { pthread_once(&resolve_once, resolve); }

// ---- state ----

struct config {
  char device[256];
  char frames[1024];
  char control[1024];
  uint32_t format;
  int honour_size;
  double fps;
  long fail_after;  // <0: never
  int stamp;        // draw each frame's number into it
  int refuse;       // REFUSE_*
  char log[1024];   // where each dequeued frame is logged; empty: nowhere
  long start_ms;    // extra delay before the first frame after STREAMON
};

enum { REFUSE_NONE, REFUSE_BUSY, REFUSE_DENIED };

struct control {
  int still, fail, stall;
  int w, h;         // 0: no override
  uint32_t format;  // 0: no override
};

struct handle {
  int fd;
  unsigned gen;
};

struct mapping {
  void *addr;
  int fd;
};

enum { BUF_IDLE, BUF_QUEUED, BUF_DONE };  // with the app, waiting empty, filled

struct vbuf {
  int state;
  uint64_t qorder;
  int64_t qtime;  // when it was queued: earlier frames cannot land in it
  uint32_t k;     // frame number and capture time, once filled
  int64_t shot;
  // The picture it holds (clip frame, size, format; clip -1: none), so a frame that shows
  // the same picture only gets a fresh stamp.
  int held_clip;
  uint32_t held_w, held_h, held_format;
};

static struct {
  pthread_mutex_t lock;
  char signature[4096];  // all config env vars; a change means "another camera"
  struct config cfg;
  int usable;

  // source frames (file mapping or generated pattern), BGR24
  int src_w, src_h, src_count;
  const uint8_t *src_map;
  size_t src_map_len;
  size_t jpeg_table;  // where the frame file's JPEG offsets are; 0: it has no JPEGs
  uint32_t jpeg_max;  // its largest JPEG
  uint8_t *pattern;

  uint32_t req_w, req_h;  // last S_FMT request (honoured only when configured)

  struct handle handles[MAX_HANDLES];
  int owner;  // fd owning the buffers, -1 if none
  int nbufs;
  uint32_t buflen;
  uint8_t *bufmap;
  struct vbuf bufs[MAX_BUFS];
  uint64_t qseq;
  int streaming;
  int64_t t_first;      // when frame 0 is due
  int64_t next_k;       // the first frame not yet captured or dropped
  int64_t clip_offset;  // clip frame = k - clip_offset while playing
  int was_still;

  long frames_total;
  int unplugged_count;  // latched by fail_after
  int unplugged_ctl;    // "fail" in control file
  unsigned gen;         // bumps at each unplug so older handles stay dead
  int shown;            // index of the last clip frame served
  int log_fd;

  void *bgr, *out, *band;
  size_t bgr_cap, out_cap, band_cap;
  void *xmap;
  size_t xmap_cap;
  uint32_t rng;

  struct mapping maps[MAX_MAPS];
} cam = {.lock = PTHREAD_MUTEX_INITIALIZER,
         .handles = {[0 ... MAX_HANDLES - 1] = {.fd = -1, .gen = 0}},
         .owner = -1,
         .shown = -1,
         .log_fd = -1,
         .rng = 0x9e3779b9u};

static volatile int n_handles;  // read unlocked for the pass-through fast path
static volatile int n_maps;

static int64_t now_ns(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

static void sleep_until(int64_t t) {
  struct timespec ts = {t / 1000000000, t % 1000000000};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, NULL) == EINTR) {
  }
}

static const char *device_path(void) {
  const char *d = getenv("ORVELLE_VCAM_DEVICE");
  if (!d) return "/dev/video0";
  if (!*d || !strcmp(d, "none")) return NULL;
  return d;
}

static int is_device(int dirfd, const char *path) {
  if (!path) return 0;
  const char *d = device_path();
  if (!d || strcmp(path, d) != 0) return 0;
  return path[0] == '/' || dirfd == AT_FDCWD;
}

static struct handle *find_handle(int fd) {
  if (fd < 0) return NULL;
  for (int i = 0; i < MAX_HANDLES; i++)
    if (cam.handles[i].fd == fd) return &cam.handles[i];
  return NULL;
}

static struct handle *find_free(void) {
  for (int i = 0; i < MAX_HANDLES; i++)
    if (cam.handles[i].fd < 0) return &cam.handles[i];
  return NULL;
}

static int bytes_per_pixel(uint32_t f) { return f == V4L2_PIX_FMT_YUYV ? 2 : 3; }

// ---- configuration and frames ----

static void unload_source(void) {
  if (cam.src_map) real_munmap((void *)cam.src_map, cam.src_map_len);
  free(cam.pattern);
  cam.src_map = NULL;
  cam.pattern = NULL;
  cam.src_count = 0;
  cam.jpeg_table = 0;
  cam.jpeg_max = 0;
}

static uint64_t get_u64(const uint8_t *p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; i--) v = v << 8 | p[i];
  return v;
}

// Version 2's JPEG table: offsets rising from the table's end to the file's end, each JPEG
// starting with its SOI marker. Returns the largest JPEG's size, 0 if the table is bad.
static uint64_t check_jpegs(const uint8_t *map, uint64_t size, uint64_t table, int count) {
  uint64_t end = table + 8 * ((uint64_t)count + 1), largest = 0;
  if (end > size || get_u64(map + table) != end || get_u64(map + end - 8) != size) return 0;
  for (uint64_t i = 0; i < (uint64_t)count; i++) {
    uint64_t a = get_u64(map + table + 8 * i), b = get_u64(map + table + 8 * i + 8);
    if (b < a + 2 || b > size || map[a] != 0xff || map[a + 1] != 0xd8) return 0;
    if (b - a > largest) largest = b - a;
  }
  return largest <= (uint64_t)ORVCAM_MAX_SIDE * ORVCAM_MAX_SIDE * 3 ? largest : 0;
}

static int load_frame_file(const char *path) {
  int fd = real_open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    fprintf(stderr, "orvelle_vcam: cannot open frame file %s: %s\n", path, strerror(errno));
    return 0;
  }
  struct stat st;
  char head[64] = {0};
  ssize_t n = fstat(fd, &st) == 0 ? pread(fd, head, sizeof head - 1, 0) : -1;
  char *nl = n > 0 ? memchr(head, '\n', (size_t)n) : NULL;
  int jpegs = !strncmp(head, ORVCAM_MAGIC_JPEG " ", 8);
  int w = 0, h = 0, count = 0, used = 0;
  int ok = nl && (jpegs || !strncmp(head, ORVCAM_MAGIC_RAW " ", 8)) &&
           sscanf(head + 8, "%d %d %d%n", &w, &h, &count, &used) == 3 && head + 8 + used == nl &&
           w > 0 && h > 0 && w <= ORVCAM_MAX_SIDE && h <= ORVCAM_MAX_SIDE && count > 0;
  uint64_t raw_end = ok ? (uint64_t)(nl - head + 1) + (uint64_t)w * h * 3 * count : 0;
  if (ok && (jpegs ? (uint64_t)st.st_size < raw_end : (uint64_t)st.st_size != raw_end)) ok = 0;
  void *map = ok ? real_mmap(NULL, (size_t)st.st_size, PROT_READ, MAP_PRIVATE, fd, 0) : MAP_FAILED;
  real_close(fd);
  uint64_t largest = 0;
  if (map != MAP_FAILED && jpegs) {
    largest = check_jpegs(map, (uint64_t)st.st_size, raw_end, count);
    if (!largest) {
      real_munmap(map, (size_t)st.st_size);
      map = MAP_FAILED;
    }
  }
  if (map == MAP_FAILED) {
    fprintf(stderr, "orvelle_vcam: bad frame file %s\n", path);
    return 0;
  }
  cam.src_map = map;
  cam.src_map_len = (size_t)st.st_size;
  cam.src_w = w;
  cam.src_h = h;
  cam.src_count = count;
  cam.jpeg_table = jpegs ? (size_t)raw_end : 0;
  cam.jpeg_max = (uint32_t)largest;
  return 1;
}

// Gradient with a moving white square, so a missing frame file still gives a live picture.
static void render_pattern(uint8_t *p, int frame) {
  int sq = 64, sx = (PATTERN_W - sq) * frame / (PATTERN_FRAMES - 1), sy = (PATTERN_H - sq) / 2;
  for (int y = 0; y < PATTERN_H; y++)
    for (int x = 0; x < PATTERN_W; x++, p += 3) {
      int in = x >= sx && x < sx + sq && y >= sy && y < sy + sq;
      p[0] = in ? 255 : (uint8_t)(x * 255 / PATTERN_W);
      p[1] = in ? 255 : (uint8_t)(y * 255 / PATTERN_H);
      p[2] = in ? 255 : 96;
    }
}

static const uint8_t *source_frame(int i) {
  if (cam.src_map) {
    const uint8_t *nl = memchr(cam.src_map, '\n', 64);
    return nl + 1 + (size_t)i * cam.src_w * cam.src_h * 3;
  }
  render_pattern(cam.pattern, i);
  return cam.pattern;
}

// Clip frame i's JPEG, as the frame file carries it.
static const uint8_t *source_jpeg(int i, size_t *len) {
  const uint8_t *entry = cam.src_map + cam.jpeg_table + (size_t)i * 8;
  uint64_t a = get_u64(entry), b = get_u64(entry + 8);
  *len = (size_t)(b - a);
  return cam.src_map + a;
}

static void env_copy(char *dst, size_t cap, const char *name) {
  const char *v = getenv(name);
  snprintf(dst, cap, "%s", v ? v : "");
}

static int parse_config(struct config *c) {
  char v[64];
  memset(c, 0, sizeof *c);
  env_copy(c->device, sizeof c->device, "ORVELLE_VCAM_DEVICE");
  env_copy(c->frames, sizeof c->frames, "ORVELLE_VCAM_FRAMES");
  env_copy(c->control, sizeof c->control, "ORVELLE_VCAM_CONTROL");
  env_copy(v, sizeof v, "ORVELLE_VCAM_FORMAT");
  if (!*v || !strcasecmp(v, "BGR24") || !strcasecmp(v, "BGR3"))
    c->format = V4L2_PIX_FMT_BGR24;
  else if (!strcasecmp(v, "YUYV"))
    c->format = V4L2_PIX_FMT_YUYV;
  else if (!strcasecmp(v, "MJPG"))
    c->format = V4L2_PIX_FMT_MJPEG;
  else {
    fprintf(stderr, "orvelle_vcam: bad ORVELLE_VCAM_FORMAT %s\n", v);
    return 0;
  }
  env_copy(v, sizeof v, "ORVELLE_VCAM_HONOUR_SIZE");
  c->honour_size = *v && strcmp(v, "0") != 0;
  env_copy(v, sizeof v, "ORVELLE_VCAM_FPS");
  char *end;
  c->fps = *v ? strtod(v, &end) : 30.0;
  if ((*v && *end) || c->fps < 0 || c->fps > 1000) {
    fprintf(stderr, "orvelle_vcam: bad ORVELLE_VCAM_FPS %s\n", v);
    return 0;
  }
  env_copy(v, sizeof v, "ORVELLE_VCAM_FAIL_AFTER");
  c->fail_after = *v ? strtol(v, &end, 10) : -1;
  if (*v && *end) {
    fprintf(stderr, "orvelle_vcam: bad ORVELLE_VCAM_FAIL_AFTER %s\n", v);
    return 0;
  }
  env_copy(v, sizeof v, "ORVELLE_VCAM_STAMP");
  c->stamp = *v && strcmp(v, "0") != 0;
  env_copy(v, sizeof v, "ORVELLE_VCAM_REFUSE");
  if (!*v)
    c->refuse = REFUSE_NONE;
  else if (!strcmp(v, "busy"))
    c->refuse = REFUSE_BUSY;
  else if (!strcmp(v, "denied"))
    c->refuse = REFUSE_DENIED;
  else {
    fprintf(stderr, "orvelle_vcam: bad ORVELLE_VCAM_REFUSE %s\n", v);
    return 0;
  }
  env_copy(c->log, sizeof c->log, "ORVELLE_VCAM_LOG");
  env_copy(v, sizeof v, "ORVELLE_VCAM_START_MS");
  c->start_ms = *v ? strtol(v, &end, 10) : 0;
  if ((*v && *end) || c->start_ms < 0 || c->start_ms > 60000) {
    fprintf(stderr, "orvelle_vcam: bad ORVELLE_VCAM_START_MS %s\n", v);
    return 0;
  }
  return 1;
}

// One O_APPEND fd for the whole camera, so each line lands whole even with other writers.
static int open_log(void) {
  if (cam.log_fd >= 0) real_close(cam.log_fd);
  cam.log_fd = -1;
  if (!cam.cfg.log[0]) return 1;
  cam.log_fd = real_open(cam.cfg.log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (cam.log_fd < 0)
    fprintf(stderr, "orvelle_vcam: cannot open log %s: %s\n", cam.cfg.log, strerror(errno));
  return cam.log_fd >= 0;
}

// Re-reads the environment at each open, so a test can set up another camera between opens.
static void configure(void) {
  static const char *names[] = {"DEVICE",     "FRAMES", "CONTROL", "FORMAT", "HONOUR_SIZE", "FPS",
                                "FAIL_AFTER", "STAMP",  "REFUSE",  "LOG",    "START_MS"};
  char sig[sizeof cam.signature];
  size_t len = 0;
  for (size_t i = 0; i < sizeof names / sizeof *names; i++) {
    char key[64];
    snprintf(key, sizeof key, "ORVELLE_VCAM_%s", names[i]);
    const char *v = getenv(key);
    len += (size_t)snprintf(sig + len, sizeof sig - len, "%s=%s;", names[i], v ? v : "\x01");
    if (len >= sizeof sig) len = sizeof sig - 1;
  }
  if (cam.signature[0] && !strcmp(sig, cam.signature)) return;
  strcpy(cam.signature, sig);

  unload_source();
  for (int i = 0; i < MAX_BUFS; i++) cam.bufs[i].held_clip = -1;
  cam.usable = parse_config(&cam.cfg);
  cam.usable = open_log() && cam.usable;
  if (cam.usable && cam.cfg.frames[0]) {
    cam.usable = load_frame_file(cam.cfg.frames);
  } else if (cam.usable) {
    cam.pattern = malloc(PATTERN_W * PATTERN_H * 3);
    cam.usable = cam.pattern != NULL;
    cam.src_w = PATTERN_W;
    cam.src_h = PATTERN_H;
    cam.src_count = PATTERN_FRAMES;
  }
  // MJPG serves the frame file's JPEGs as encoded: it needs them, and cannot draw into them.
  if (cam.usable && cam.cfg.format == V4L2_PIX_FMT_MJPEG && !cam.jpeg_table) {
    fprintf(stderr, "orvelle_vcam: MJPG needs a frame file with JPEGs (orvelle_vcam_frames)\n");
    cam.usable = 0;
  }
  if (cam.usable && cam.cfg.format == V4L2_PIX_FMT_MJPEG && cam.cfg.stamp) {
    fprintf(stderr, "orvelle_vcam: ORVELLE_VCAM_STAMP cannot draw into MJPG frames\n");
    cam.usable = 0;
  }
  cam.frames_total = 0;
  cam.unplugged_count = 0;
  cam.shown = -1;
  cam.req_w = (uint32_t)cam.src_w;
  cam.req_h = (uint32_t)cam.src_h;
}

static struct control read_control(void) {
  struct control c = {0};
  if (!cam.cfg.control[0]) return c;
  char text[256];
  int fd = real_open(cam.cfg.control, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return c;
  ssize_t n = read(fd, text, sizeof text - 1);
  real_close(fd);
  text[n > 0 ? n : 0] = 0;
  char *save = NULL;
  for (char *w = strtok_r(text, " \t\r\n", &save); w; w = strtok_r(NULL, " \t\r\n", &save)) {
    if (!strcmp(w, "still")) {
      c.still = 1;
    } else if (!strcmp(w, "play")) {
      c.still = 0;
    } else if (!strcmp(w, "fail")) {
      c.fail = 1;
    } else if (!strcmp(w, "stall")) {
      c.stall = 1;
    } else if (!strcmp(w, "size")) {
      char *a = strtok_r(NULL, " \t\r\n", &save);
      int cw, ch;
      if (a && sscanf(a, "%dx%d", &cw, &ch) == 2 && cw >= 4 && ch >= 1 && cw <= ORVCAM_MAX_SIDE &&
          ch <= ORVCAM_MAX_SIDE) {
        c.w = cw;
        c.h = ch;
      }
    } else if (!strcmp(w, "format")) {
      char *a = strtok_r(NULL, " \t\r\n", &save);
      if (a && !strcasecmp(a, "YUYV")) c.format = V4L2_PIX_FMT_YUYV;
      if (a && !strcasecmp(a, "BGR24")) c.format = V4L2_PIX_FMT_BGR24;
    }
  }
  return c;
}

// Applies the control file; returns it so callers can use the scene and overrides.
static struct control refresh(void) {
  struct control c = read_control();
  int was_dead = cam.unplugged_ctl || cam.unplugged_count;
  cam.unplugged_ctl = c.fail;
  if (!was_dead && c.fail) cam.gen++;
  return c;
}

static int unplugged(void) { return cam.unplugged_ctl || cam.unplugged_count; }

static int alive(const struct handle *h) { return h->gen == cam.gen && !unplugged(); }

// ---- formats ----

static void format_for(const struct control *c, uint32_t req_w, uint32_t req_h,
                       struct v4l2_pix_format *p) {
  memset(p, 0, sizeof *p);
  p->pixelformat = c->format ? c->format : cam.cfg.format;
  p->field = V4L2_FIELD_NONE;
  p->colorspace = V4L2_COLORSPACE_SRGB;
  if (p->pixelformat == V4L2_PIX_FMT_MJPEG) {
    // One mode: the JPEGs' own size. Room for any of them, and more, as drivers reserve.
    p->width = (uint32_t)orvcam_served_width(cam.src_w);
    p->height = (uint32_t)cam.src_h;
    p->sizeimage = p->width * p->height * 3;
    if (p->sizeimage < cam.jpeg_max) p->sizeimage = cam.jpeg_max;
    return;
  }
  if (c->w) {
    p->width = (uint32_t)c->w;
    p->height = (uint32_t)c->h;
  } else if (cam.cfg.honour_size) {
    p->width = req_w < 4 ? 4 : req_w > ORVCAM_MAX_SIDE ? ORVCAM_MAX_SIDE : req_w;
    p->height = req_h < 1 ? 1 : req_h > ORVCAM_MAX_SIDE ? ORVCAM_MAX_SIDE : req_h;
  } else {
    p->width = (uint32_t)cam.src_w;
    p->height = (uint32_t)cam.src_h;
  }
  p->width = (uint32_t)orvcam_served_width((int)p->width);
  p->bytesperline = p->width * (uint32_t)bytes_per_pixel(p->pixelformat);
  p->sizeimage = p->bytesperline * p->height;
}

static void current_format(const struct control *c, struct v4l2_pix_format *p) {
  format_for(c, cam.req_w, cam.req_h, p);
}

static void *grow(void **p, size_t *cap, size_t need) {
  if (*cap >= need) return *p;
  void *n = realloc(*p, need);
  if (!n) return NULL;
  *cap = need;
  return *p = n;
}

static int clamp_byte(int v) { return v < 0 ? 0 : v > 255 ? 255 : v; }

// Scales like cv::resize(INTER_NEAREST_EXACT), so clients can reproduce frames exactly.
static void scale_nearest(const uint8_t *src, int sw, int sh, uint8_t *dst, int dw, int dh) {
  int64_t ifx = (((int64_t)sw << 16) + dw / 2) / dw, ify = (((int64_t)sh << 16) + dh / 2) / dh;
  for (int x = 0; x < dw; x++) {
    int64_t sx = (ifx * x + ifx / 2 - 1) >> 16;
    ((int *)cam.xmap)[x] = (int)(sx < sw - 1 ? sx : sw - 1) * 3;
  }
  for (int y = 0; y < dh; y++) {
    int64_t sy = (ify * y + ify / 2 - 1) >> 16;
    const uint8_t *row = src + (size_t)(sy < sh - 1 ? sy : sh - 1) * sw * 3;
    for (int x = 0; x < dw; x++, dst += 3) memcpy(dst, row + ((int *)cam.xmap)[x], 3);
  }
}

// BT.601 limited range, the inverse of OpenCV's COLOR_YUV2BGR_YUYV.
static void bgr_to_yuyv(const uint8_t *s, uint8_t *d, size_t pixels) {
  for (size_t i = 0; i + 1 < pixels; i += 2, s += 6, d += 4) {
    int b0 = s[0], g0 = s[1], r0 = s[2], b1 = s[3], g1 = s[4], r1 = s[5];
    int b = b0 + b1, g = g0 + g1, r = r0 + r1;  // pair sums, halved below
    d[0] = (uint8_t)(((66 * r0 + 129 * g0 + 25 * b0 + 128) >> 8) + 16);
    d[2] = (uint8_t)(((66 * r1 + 129 * g1 + 25 * b1 + 128) >> 8) + 16);
    d[1] = (uint8_t)clamp_byte(((-38 * r - 74 * g + 112 * b + 256) >> 9) + 128);
    d[3] = (uint8_t)clamp_byte(((112 * r - 94 * g - 18 * b + 256) >> 9) + 128);
  }
}

static uint32_t next_rand(void) {
  cam.rng ^= cam.rng << 13;
  cam.rng ^= cam.rng >> 17;
  cam.rng ^= cam.rng << 5;
  return cam.rng;
}

// The clip frame that frame k shows: k on the clip's timeline while playing, the last one
// shown while still, and after a still the clip goes on from the frame it held.
static int clip_frame(int64_t k, const struct control *c) {
  if (c->still && cam.shown >= 0) {
    cam.was_still = 1;
    return cam.shown;
  }
  if (cam.was_still) cam.clip_offset = k - (cam.shown + 1);
  cam.was_still = c->still;
  int64_t i = (k - cam.clip_offset) % cam.src_count;
  return cam.shown = (int)(i < 0 ? i + cam.src_count : i);
}

// Draws frame k's number over the band rows of a frame in format f.
static int stamp(uint8_t *frame, const struct v4l2_pix_format *f, uint32_t k) {
  size_t bgr_len = (size_t)f->width * 3;
  if (!grow(&cam.band, &cam.band_cap, bgr_len + (size_t)f->width * 2)) return 0;
  uint8_t *row = cam.band, *yuyv = row + bgr_len;
  orvelle_stamp_row(row, (int)f->width, k);
  if (f->pixelformat == V4L2_PIX_FMT_YUYV) {
    bgr_to_yuyv(row, yuyv, f->width);
    row = yuyv;
  }
  int y0, y1;
  orvelle_stamp_band((int)f->height, &y0, &y1);
  for (int y = y0; y < y1; y++) memcpy(frame + (size_t)y * f->bytesperline, row, f->bytesperline);
  return 1;
}

// Renders frame k into buffer i; returns bytes used (0: out of memory).
static uint32_t render(int i, uint32_t k, const struct control *c) {
  struct v4l2_pix_format f;
  current_format(c, &f);
  struct vbuf *vb = &cam.bufs[i];
  int clip = clip_frame(k, c);
  uint8_t *dst = cam.bufmap + (size_t)i * cam.buflen;
  if (f.pixelformat == V4L2_PIX_FMT_MJPEG) {
    // Copied as encoded: no noise while still, and a JPEG larger than buffers negotiated
    // for another mode is cut short.
    size_t len;
    const uint8_t *jpeg = source_jpeg(clip, &len);
    if (len > cam.buflen) len = cam.buflen;
    memcpy(dst, jpeg, len);
    vb->held_clip = -1;
    return (uint32_t)len;
  }
  // A mid-stream size change may not fit the buffers negotiated earlier: render aside.
  int fits = f.sizeimage <= cam.buflen;
  uint8_t *out = fits ? dst : grow(&cam.out, &cam.out_cap, f.sizeimage);
  if (!out) return 0;
  int same = fits && !c->still && vb->held_clip == clip && vb->held_w == f.width &&
             vb->held_h == f.height && vb->held_format == f.pixelformat;
  vb->held_clip = -1;
  if (!same) {
    const uint8_t *src = source_frame(clip);
    size_t px = (size_t)f.width * f.height;
    int scaled = (int)f.width != cam.src_w || (int)f.height != cam.src_h;
    int yuyv = f.pixelformat == V4L2_PIX_FMT_YUYV;
    if (scaled && (!grow(&cam.xmap, &cam.xmap_cap, f.width * sizeof(int)) ||
                   (yuyv && !grow(&cam.bgr, &cam.bgr_cap, px * 3))))
      return 0;
    if (yuyv) {
      if (scaled) scale_nearest(src, cam.src_w, cam.src_h, cam.bgr, (int)f.width, (int)f.height);
      bgr_to_yuyv(scaled ? cam.bgr : src, out, px);
    } else if (scaled) {
      scale_nearest(src, cam.src_w, cam.src_h, out, (int)f.width, (int)f.height);
    } else {
      memcpy(out, src, px * 3);
    }
    if (c->still)  // sensor noise of +-2 per byte
      for (size_t b = 0; b < f.sizeimage; b++)
        out[b] = (uint8_t)clamp_byte(out[b] + (int)(next_rand() % 5) - 2);
  }
  if (cam.cfg.stamp && !stamp(out, &f, k)) return 0;
  if (!fits) memcpy(dst, out, cam.buflen);
  if (fits && !c->still) {
    vb->held_clip = clip;
    vb->held_w = f.width;
    vb->held_h = f.height;
    vb->held_format = f.pixelformat;
  }
  return fits ? f.sizeimage : cam.buflen;
}

// ---- streaming ----

static void release_buffers(void) {
  if (cam.bufmap) real_munmap(cam.bufmap, (size_t)cam.nbufs * cam.buflen);
  cam.bufmap = NULL;
  cam.nbufs = 0;
  cam.owner = -1;
  cam.streaming = 0;
}

// Buffers left by a handle of an unplugged session must not block the replugged camera.
static void drop_stale_owner(void) {
  struct handle *o = find_handle(cam.owner);
  if (o && !alive(o)) release_buffers();
}

static int64_t period_ns(void) { return cam.cfg.fps > 0 ? (int64_t)(1e9 / cam.cfg.fps) : 0; }

// Due times from one origin, so that rounding does not drift over a long run.
static int64_t due_time(int64_t k) {
  return cam.t_first + (int64_t)((double)k * 1e9 / cam.cfg.fps);
}

// The first frame due at or after t.
static int64_t first_due_from(int64_t t) {
  if (t <= cam.t_first) return 0;
  int64_t k = (int64_t)((double)(t - cam.t_first) * cam.cfg.fps / 1e9);
  while (k > 0 && due_time(k - 1) >= t) k--;
  while (due_time(k) < t) k++;
  return k;
}

// The earliest-queued empty buffer (the one a driver fills next), or -1.
static int oldest_queued(void) {
  int best = -1;
  for (int i = 0; i < cam.nbufs; i++)
    if (cam.bufs[i].state == BUF_QUEUED && (best < 0 || cam.bufs[i].qorder < cam.bufs[best].qorder))
      best = i;
  return best;
}

// The filled buffer holding the oldest frame (the one DQBUF returns), or -1.
static int oldest_done(void) {
  int best = -1;
  for (int i = 0; i < cam.nbufs; i++)
    if (cam.bufs[i].state == BUF_DONE && (best < 0 || cam.bufs[i].k < cam.bufs[best].k)) best = i;
  return best;
}

static void capture(int i, int64_t k, int64_t shot) {
  cam.bufs[i].state = BUF_DONE;
  cam.bufs[i].k = (uint32_t)k;
  cam.bufs[i].shot = shot;
  cam.next_k = k + 1;
}

// Catches up with the frames due by now, as a driver would have captured them: each into
// the earliest-queued empty buffer queued by then, or dropped (its number skipped) when
// there is none. Unpaced, a frame is captured whenever one is asked for and none waits.
static void settle(const struct control *c) {
  if (!cam.streaming || c->stall) {
    if (cam.streaming && cam.cfg.fps > 0) cam.next_k = first_due_from(now_ns() + 1);
    return;
  }
  int64_t now = now_ns();
  if (cam.cfg.fps == 0) {
    if (now < cam.t_first) return;
    int i = oldest_queued();
    if (oldest_done() < 0 && i >= 0) capture(i, cam.next_k, now);
    return;
  }
  while (due_time(cam.next_k) <= now) {
    int i = oldest_queued();
    if (i < 0) {
      cam.next_k = first_due_from(now + 1);
    } else if (cam.bufs[i].qtime > due_time(cam.next_k)) {
      int64_t k = first_due_from(cam.bufs[i].qtime);
      cam.next_k = k > cam.next_k ? k : cam.next_k + 1;
    } else {
      capture(i, cam.next_k, due_time(cam.next_k));
    }
  }
}

// 1: a filled buffer waits, -1: error (poll reports POLLERR), 0: look again at *wake.
static int readiness(int fd, int64_t *wake) {
  struct handle *h = find_handle(fd);
  struct control c = refresh();
  if (!h || !alive(h) || cam.owner != fd || !cam.streaming) return -1;
  if (cam.cfg.fail_after >= 0 && cam.frames_total >= cam.cfg.fail_after) return -1;
  settle(&c);
  if (oldest_done() >= 0) return 1;
  // Only a tick can bring a frame; unpaced, only another thread's QBUF or the end of a stall.
  *wake = cam.cfg.fps > 0 ? due_time(cam.next_k) : now_ns() + 10000000;
  return 0;
}

// readiness() of each of our fds; returns whether any is ready or failed, and moves *wake
// (-1: never) to the earliest time one of them should be looked at again.
static int scan_readiness(const int *fds, int n, int *state, int64_t *wake) {
  int any = 0;
  pthread_mutex_lock(&cam.lock);
  for (int k = 0; k < n; k++) {
    int64_t due = 0;
    state[k] = readiness(fds[k], &due);
    if (state[k] != 0)
      any = 1;
    else if (*wake < 0 || due < *wake)
      *wake = due;
  }
  pthread_mutex_unlock(&cam.lock);
  return any;
}

static int set_errno(int e) {
  errno = e;
  return -1;
}

static int do_reqbufs(int fd, struct v4l2_requestbuffers *r) {
  if (r->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || r->memory != V4L2_MEMORY_MMAP)
    return set_errno(EINVAL);
  if (cam.owner >= 0 && cam.owner != fd) return set_errno(EBUSY);
  if (cam.streaming) return set_errno(EBUSY);
  for (int k = 0; k < MAX_MAPS; k++)
    if (cam.maps[k].addr && cam.maps[k].fd == fd)
      return set_errno(EBUSY);  // the kernel refuses while buffers are mapped
  release_buffers();
  for (int i = 0; i < MAX_BUFS; i++) cam.bufs[i] = (struct vbuf){.held_clip = -1};
  r->capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP;
  if (r->count == 0) return 0;
  struct control c = refresh();
  struct v4l2_pix_format f;
  current_format(&c, &f);
  uint32_t page = (uint32_t)sysconf(_SC_PAGESIZE);
  uint32_t n = r->count > MAX_BUFS ? MAX_BUFS : r->count;
  uint32_t len = (f.sizeimage + page - 1) / page * page;
  void *map = MAP_FAILED;
  if (ftruncate(fd, (off_t)n * len) == 0)
    map = real_mmap(NULL, (size_t)n * len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (map == MAP_FAILED) return set_errno(ENOMEM);
  cam.bufmap = map;
  cam.nbufs = (int)n;
  cam.buflen = len;
  cam.owner = fd;
  r->count = n;
  return 0;
}

static void fill_buf(int i, struct v4l2_buffer *b) {
  b->index = (uint32_t)i;
  b->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  b->memory = V4L2_MEMORY_MMAP;
  b->length = cam.buflen;
  b->m.offset = (uint32_t)i * cam.buflen;
  b->field = V4L2_FIELD_NONE;
  b->flags = V4L2_BUF_FLAG_MAPPED | V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC |
             (cam.bufs[i].state == BUF_QUEUED ? V4L2_BUF_FLAG_QUEUED : 0) |
             (cam.bufs[i].state == BUF_DONE ? V4L2_BUF_FLAG_DONE : 0);
}

static int own_buf(int fd, struct v4l2_buffer *b) {
  return cam.owner == fd && b->type == V4L2_BUF_TYPE_VIDEO_CAPTURE &&
         b->memory == V4L2_MEMORY_MMAP && b->index < (uint32_t)cam.nbufs;
}

static int do_qbuf(int fd, struct v4l2_buffer *b) {
  if (!own_buf(fd, b) || cam.bufs[b->index].state != BUF_IDLE) return set_errno(EINVAL);
  struct control c = refresh();
  settle(&c);  // frames due before now cannot land in this buffer
  struct vbuf *vb = &cam.bufs[b->index];
  vb->state = BUF_QUEUED;
  vb->qorder = ++cam.qseq;
  vb->qtime = now_ns();
  fill_buf((int)b->index, b);
  return 0;
}

static int do_dqbuf(int fd, struct v4l2_buffer *b) {
  for (;;) {
    int64_t wake = 0;
    int r = readiness(fd, &wake);
    struct handle *h = find_handle(fd);
    if (r < 0) {
      if (!alive(h)) return set_errno(ENODEV);
      if (cam.cfg.fail_after >= 0 && cam.frames_total >= cam.cfg.fail_after) {
        cam.unplugged_count = 1;  // like a camera pulled out: this and later opens fail
        cam.gen++;
        return set_errno(ENODEV);
      }
      return set_errno(EINVAL);  // not streaming
    }
    if (r == 0) {
      if (fcntl(fd, F_GETFL) & O_NONBLOCK) return set_errno(EAGAIN);
      pthread_mutex_unlock(&cam.lock);
      sleep_until(wake);
      pthread_mutex_lock(&cam.lock);
      continue;
    }
    struct control c = refresh();
    int i = oldest_done();
    uint32_t k = cam.bufs[i].k;
    int64_t shot = cam.bufs[i].shot;
    uint32_t used = render(i, k, &c);
    if (!used) return set_errno(ENOMEM);
    cam.bufs[i].state = BUF_IDLE;
    memset(b, 0, sizeof *b);
    fill_buf(i, b);
    b->flags |= V4L2_BUF_FLAG_DONE;
    b->bytesused = used;
    b->sequence = k;
    // Stamped with its capture time, as a driver does, not with the time it was dequeued.
    b->timestamp.tv_sec = shot / 1000000000;
    b->timestamp.tv_usec = shot % 1000000000 / 1000;
    cam.frames_total++;
    if (cam.log_fd >= 0) {
      char line[80];
      int n =
          snprintf(line, sizeof line, "%u %lld %lld\n", k, (long long)shot, (long long)now_ns());
      if (write(cam.log_fd, line, (size_t)n) < 0) {
      }  // a full disk must not stop the camera
    }
    return 0;
  }
}

static void fill_format(struct v4l2_format *f, int try_only) {
  struct control c = refresh();
  uint32_t w = f->fmt.pix.width, h = f->fmt.pix.height;
  format_for(&c, w, h, &f->fmt.pix);
  if (!try_only && cam.cfg.honour_size) {
    cam.req_w = f->fmt.pix.width;
    cam.req_h = f->fmt.pix.height;
  }
}

static int handle_ioctl(int fd, unsigned long req, void *arg) {
  struct handle *h = find_handle(fd);
  if (!alive(h)) return set_errno(ENODEV);
  if (!arg && req != VIDIOC_LOG_STATUS) return set_errno(EFAULT);
  switch (req) {
    case VIDIOC_QUERYCAP: {
      struct v4l2_capability *c = arg;
      memset(c, 0, sizeof *c);
      snprintf((char *)c->driver, sizeof c->driver, "orvelle_vcam");
      snprintf((char *)c->card, sizeof c->card, "Orvelle virtual camera");
      snprintf((char *)c->bus_info, sizeof c->bus_info, "platform:orvelle-vcam");
      c->version = (6u << 16) | (1u << 8);
      c->device_caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
      c->capabilities = c->device_caps | V4L2_CAP_DEVICE_CAPS;
      return 0;
    }
    case VIDIOC_ENUM_FMT: {
      struct v4l2_fmtdesc *d = arg;
      if (d->index != 0 || d->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return set_errno(EINVAL);
      struct control c = refresh();
      struct v4l2_pix_format f;
      current_format(&c, &f);
      uint32_t index = d->index, type = d->type;
      memset(d, 0, sizeof *d);
      d->index = index;
      d->type = type;
      d->pixelformat = f.pixelformat;
      snprintf((char *)d->description, sizeof d->description, "%s",
               f.pixelformat == V4L2_PIX_FMT_YUYV    ? "YUYV 4:2:2"
               : f.pixelformat == V4L2_PIX_FMT_MJPEG ? "Motion-JPEG"
                                                     : "24-bit BGR 8-8-8");
      if (f.pixelformat == V4L2_PIX_FMT_MJPEG) d->flags = V4L2_FMT_FLAG_COMPRESSED;
      return 0;
    }
    case VIDIOC_ENUM_FRAMESIZES: {
      struct v4l2_frmsizeenum *s = arg;
      struct control c = refresh();
      struct v4l2_pix_format f;
      current_format(&c, &f);
      if (s->index != 0 || s->pixel_format != f.pixelformat) return set_errno(EINVAL);
      if (cam.cfg.honour_size && !c.w && f.pixelformat != V4L2_PIX_FMT_MJPEG) {
        s->type = V4L2_FRMSIZE_TYPE_STEPWISE;
        s->stepwise = (struct v4l2_frmsize_stepwise){4, ORVCAM_MAX_SIDE, 4, 1, ORVCAM_MAX_SIDE, 1};
      } else {
        s->type = V4L2_FRMSIZE_TYPE_DISCRETE;
        s->discrete.width = f.width;
        s->discrete.height = f.height;
      }
      return 0;
    }
    case VIDIOC_G_FMT:
    case VIDIOC_S_FMT:
    case VIDIOC_TRY_FMT: {
      struct v4l2_format *f = arg;
      if (f->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return set_errno(EINVAL);
      if (req == VIDIOC_S_FMT && (cam.nbufs > 0 || cam.cfg.refuse == REFUSE_BUSY))
        return set_errno(EBUSY);
      if (req == VIDIOC_G_FMT) {
        struct control c = refresh();
        current_format(&c, &f->fmt.pix);
      } else {
        fill_format(f, req == VIDIOC_TRY_FMT);
      }
      return 0;
    }
    case VIDIOC_G_PARM:
    case VIDIOC_S_PARM: {
      struct v4l2_streamparm *p = arg;
      if (p->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return set_errno(EINVAL);
      // The rate is fixed by the configuration, as a camera with one mode would do.
      memset(&p->parm, 0, sizeof p->parm);
      p->parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
      int whole = cam.cfg.fps == (double)(int)cam.cfg.fps;
      p->parm.capture.timeperframe.numerator = whole ? 1 : 1000;
      p->parm.capture.timeperframe.denominator = (uint32_t)(cam.cfg.fps * (whole ? 1 : 1000) + 0.5);
      p->parm.capture.readbuffers = 0;
      return 0;
    }
    case VIDIOC_ENUMINPUT: {
      struct v4l2_input *in = arg;
      if (in->index != 0) return set_errno(EINVAL);
      memset(in, 0, sizeof *in);
      snprintf((char *)in->name, sizeof in->name, "Camera 0");
      in->type = V4L2_INPUT_TYPE_CAMERA;
      return 0;
    }
    case VIDIOC_G_INPUT:
      *(int *)arg = 0;
      return 0;
    case VIDIOC_S_INPUT:
      return *(int *)arg == 0 ? 0 : set_errno(EINVAL);
    case VIDIOC_REQBUFS:
      // Busy: another program streams from the camera.
      return cam.cfg.refuse == REFUSE_BUSY ? set_errno(EBUSY) : do_reqbufs(fd, arg);
    case VIDIOC_QUERYBUF: {
      struct v4l2_buffer *b = arg;
      if (!own_buf(fd, b)) return set_errno(EINVAL);
      fill_buf((int)b->index, b);
      return 0;
    }
    case VIDIOC_QBUF:
      return do_qbuf(fd, arg);
    case VIDIOC_DQBUF: {
      struct v4l2_buffer *b = arg;
      if (cam.owner != fd || b->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return set_errno(EINVAL);
      return do_dqbuf(fd, b);
    }
    case VIDIOC_STREAMON:
    case VIDIOC_STREAMOFF: {
      if (*(int *)arg != V4L2_BUF_TYPE_VIDEO_CAPTURE || cam.owner != fd) return set_errno(EINVAL);
      if (req == VIDIOC_STREAMON && cam.cfg.refuse == REFUSE_BUSY) return set_errno(EBUSY);
      if (req == VIDIOC_STREAMON && !cam.streaming) {
        // The first frame takes one interval to expose, after the camera's own start (a
        // webcam settling its exposure); each session starts the clip afresh.
        cam.t_first = now_ns() + cam.cfg.start_ms * 1000000 + period_ns();
        cam.next_k = 0;
        cam.clip_offset = 0;
        cam.was_still = 0;
        cam.shown = -1;
      }
      if (req == VIDIOC_STREAMOFF)
        for (int i = 0; i < cam.nbufs; i++) cam.bufs[i].state = BUF_IDLE;
      cam.streaming = req == VIDIOC_STREAMON;
      return 0;
    }
    case VIDIOC_QUERYCTRL:
    case VIDIOC_G_CTRL:
    case VIDIOC_S_CTRL:
      return set_errno(EINVAL);  // no controls: OpenCV reports such properties as unsupported
    default:
      return set_errno(ENOTTY);
  }
}

// ---- interposed entry points ----

static int open_device(int flags) {
  pthread_mutex_lock(&cam.lock);
  configure();
  refresh();
  drop_stale_owner();
  struct handle *h = find_free();
  int fd = -1;
  if (!cam.usable || unplugged()) {
    errno = ENOENT;
  } else if (cam.cfg.refuse == REFUSE_DENIED) {
    errno = EACCES;  // the device exists, but the user is not in its group
  } else if (!h) {
    errno = EMFILE;
  } else {
    fd = memfd_create("orvelle-vcam", (flags & O_CLOEXEC) ? MFD_CLOEXEC : 0);
    if (fd >= 0 && (flags & O_NONBLOCK)) fcntl(fd, F_SETFL, O_NONBLOCK);
    if (fd >= 0) {
      h->fd = fd;
      h->gen = cam.gen;
      n_handles++;
    }
  }
  int e = errno;
  pthread_mutex_unlock(&cam.lock);
  errno = e;
  return fd;
}

#define OPEN_MODE(flags)                                       \
  mode_t mode = 0;                                             \
  if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE) { \
    va_list ap;                                                \
    va_start(ap, flags);                                       \
    mode = va_arg(ap, mode_t);                                 \
    va_end(ap);                                                \
  }

EXPORT int open(const char *path, int flags, ...) {
  init();
  OPEN_MODE(flags);
  return is_device(AT_FDCWD, path) ? open_device(flags) : real_open(path, flags, mode);
}

EXPORT int open64(const char *path, int flags, ...) {
  init();
  OPEN_MODE(flags);
  return is_device(AT_FDCWD, path) ? open_device(flags) : real_open64(path, flags, mode);
}

EXPORT int openat(int dirfd, const char *path, int flags, ...) {
  init();
  OPEN_MODE(flags);
  return is_device(dirfd, path) ? open_device(flags) : real_openat(dirfd, path, flags, mode);
}

EXPORT int openat64(int dirfd, const char *path, int flags, ...) {
  init();
  OPEN_MODE(flags);
  return is_device(dirfd, path) ? open_device(flags) : real_openat64(dirfd, path, flags, mode);
}

EXPORT int __open_2(const char *path, int flags) {
  init();
  return is_device(AT_FDCWD, path) ? open_device(flags) : real___open_2(path, flags);
}

EXPORT int __open64_2(const char *path, int flags) {
  init();
  return is_device(AT_FDCWD, path) ? open_device(flags) : real___open64_2(path, flags);
}

EXPORT int __openat_2(int dirfd, const char *path, int flags) {
  init();
  return is_device(dirfd, path) ? open_device(flags) : real___openat_2(dirfd, path, flags);
}

EXPORT int __openat64_2(int dirfd, const char *path, int flags) {
  init();
  return is_device(dirfd, path) ? open_device(flags) : real___openat64_2(dirfd, path, flags);
}

EXPORT int close(int fd) {
  init();
  if (n_handles > 0) {
    pthread_mutex_lock(&cam.lock);
    struct handle *h = find_handle(fd);
    if (h) {
      if (cam.owner == fd) release_buffers();
      for (int k = 0; k < MAX_MAPS; k++)
        if (cam.maps[k].fd == fd) cam.maps[k].fd = -1;  // fd numbers get reused
      h->fd = -1;
      n_handles--;
    }
    pthread_mutex_unlock(&cam.lock);
  }
  return real_close(fd);
}

EXPORT int ioctl(int fd, unsigned long req, ...) {
  init();
  va_list ap;
  va_start(ap, req);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  if (n_handles > 0 && fd >= 0) {
    pthread_mutex_lock(&cam.lock);
    if (find_handle(fd)) {
      int r = handle_ioctl(fd, req, arg);
      int e = errno;
      pthread_mutex_unlock(&cam.lock);
      errno = e;
      return r;
    }
    pthread_mutex_unlock(&cam.lock);
  }
  return real_ioctl(fd, req, arg);
}

static void *map_device(void *addr, size_t len, int prot, int flags, int fd, off_t off,
                        int *handled) {
  *handled = 0;
  if (n_handles == 0 || fd < 0) return MAP_FAILED;
  pthread_mutex_lock(&cam.lock);
  struct handle *h = find_handle(fd);
  void *p = MAP_FAILED;
  if (h) {
    *handled = 1;
    int slot = -1;
    for (int k = 0; k < MAX_MAPS && slot < 0; k++)
      if (!cam.maps[k].addr) slot = k;
    if (!alive(h)) {
      errno = ENODEV;
    } else if (cam.owner != fd || off < 0 || cam.buflen == 0 || off % cam.buflen ||
               off / cam.buflen >= cam.nbufs || len == 0 || len > cam.buflen || slot < 0) {
      errno = EINVAL;
    } else {
      p = real_mmap(addr, len, prot, flags, fd, off);
      if (p != MAP_FAILED) {
        cam.maps[slot] = (struct mapping){p, fd};
        n_maps++;
      }
    }
  }
  int e = errno;
  pthread_mutex_unlock(&cam.lock);
  errno = e;
  return p;
}

EXPORT void *mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off) {
  init();
  int handled;
  void *p = map_device(addr, len, prot, flags, fd, off, &handled);
  return handled ? p : real_mmap(addr, len, prot, flags, fd, off);
}

EXPORT void *mmap64(void *addr, size_t len, int prot, int flags, int fd, off64_t off) {
  init();
  int handled;
  void *p = map_device(addr, len, prot, flags, fd, (off_t)off, &handled);
  return handled ? p : real_mmap64(addr, len, prot, flags, fd, off);
}

EXPORT int munmap(void *addr, size_t len) {
  init();
  if (n_maps > 0) {
    pthread_mutex_lock(&cam.lock);
    for (int k = 0; k < MAX_MAPS; k++)
      if (cam.maps[k].addr == addr) {
        cam.maps[k].addr = NULL;
        n_maps--;
      }
    pthread_mutex_unlock(&cam.lock);
  }
  return real_munmap(addr, len);
}

// Waits for our fds without holding the lock; other fds are handed to the real call.
EXPORT int select(int nfds, fd_set *rd, fd_set *wr, fd_set *ex, struct timeval *tv) {
  init();
  if (n_handles == 0) return real_select(nfds, rd, wr, ex, tv);
  int ours[MAX_HANDLES], want_rd[MAX_HANDLES], want_ex[MAX_HANDLES], n = 0;
  pthread_mutex_lock(&cam.lock);
  for (int i = 0; i < MAX_HANDLES; i++) {
    int fd = cam.handles[i].fd;
    if (fd < 0 || fd >= nfds) continue;
    int r = rd && FD_ISSET(fd, rd), w = wr && FD_ISSET(fd, wr), e = ex && FD_ISSET(fd, ex);
    if (!r && !w && !e) continue;
    ours[n] = fd;
    want_rd[n] = r;
    want_ex[n] = e;
    n++;
  }
  pthread_mutex_unlock(&cam.lock);
  if (n == 0) return real_select(nfds, rd, wr, ex, tv);

  fd_set save_rd, save_wr, save_ex;
  if (rd) save_rd = *rd;
  if (wr) save_wr = *wr;
  if (ex) save_ex = *ex;
  int64_t deadline = tv ? now_ns() + tv->tv_sec * 1000000000LL + tv->tv_usec * 1000LL : -1;
  for (;;) {
    int state[MAX_HANDLES];
    int64_t wake = deadline;
    int any = scan_readiness(ours, n, state, &wake);
    if (rd) *rd = save_rd;
    if (wr) *wr = save_wr;
    if (ex) *ex = save_ex;
    for (int k = 0; k < n; k++) {
      if (rd) FD_CLR(ours[k], rd);
      if (wr) FD_CLR(ours[k], wr);
      if (ex) FD_CLR(ours[k], ex);
    }
    int64_t left = any ? 0 : wake < 0 ? -1 : wake - now_ns();
    if (left < 0 && wake >= 0) left = 0;
    struct timeval t = {left / 1000000000, left % 1000000000 / 1000};
    int r = real_select(nfds, rd, wr, ex, left < 0 ? NULL : &t);
    if (r < 0) return r;
    for (int k = 0; k < n; k++) {
      if (state[k] != 0 && want_rd[k]) {
        FD_SET(ours[k], rd);
        r++;
      }
      if (state[k] < 0 && want_ex[k]) {
        FD_SET(ours[k], ex);
        r++;
      }
    }
    int64_t now = now_ns();
    if (r > 0 || (deadline >= 0 && now >= deadline)) {
      if (tv) {
        int64_t rest = deadline > now ? deadline - now : 0;
        tv->tv_sec = rest / 1000000000;
        tv->tv_usec = rest % 1000000000 / 1000;
      }
      return r;
    }
  }
}

EXPORT int poll(struct pollfd *fds, nfds_t nfds, int timeout) {
  init();
  if (n_handles == 0) return real_poll(fds, nfds, timeout);
  int ours[MAX_HANDLES], n = 0;
  nfds_t idx[MAX_HANDLES];
  pthread_mutex_lock(&cam.lock);
  for (nfds_t i = 0; i < nfds && n < MAX_HANDLES; i++)
    if (find_handle(fds[i].fd)) {
      ours[n] = fds[i].fd;
      idx[n++] = i;
    }
  pthread_mutex_unlock(&cam.lock);
  if (n == 0) return real_poll(fds, nfds, timeout);

  int64_t deadline = timeout >= 0 ? now_ns() + timeout * 1000000LL : -1;
  for (int k = 0; k < n; k++) fds[idx[k]].fd = -1;  // poll skips negative fds
  int result;
  for (;;) {
    int state[MAX_HANDLES];
    int64_t wake = deadline;
    int any = scan_readiness(ours, n, state, &wake);
    int64_t left = any ? 0 : wake < 0 ? -1 : wake - now_ns();
    if (left < 0 && wake >= 0) left = 0;
    result = real_poll(fds, nfds, left < 0 ? -1 : (int)((left + 999999) / 1000000));
    if (result < 0) break;
    for (int k = 0; k < n; k++) {
      struct pollfd *p = &fds[idx[k]];
      p->revents = state[k] > 0   ? (short)(p->events & (POLLIN | POLLRDNORM))
                   : state[k] < 0 ? POLLERR
                                  : 0;
      if (p->revents) result++;
    }
    if (result > 0 || (deadline >= 0 && now_ns() >= deadline)) break;
  }
  for (int k = 0; k < n; k++) fds[idx[k]].fd = ours[k];
  return result;
}
