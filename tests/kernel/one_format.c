// LD_PRELOAD for the kernel tests: the real camera, but offering one pixel format and, if
// asked, one frame size, so that a capture program has to take them. Read at every call:
//   ORVELLE_KERNEL_FORMAT  the format's four characters (NV12, BA81, Y16; "-BE" appended for
//                          the big-endian variant, as in Y16-BE)
//   ORVELLE_KERNEL_SIZE    WIDTHxHEIGHT
// Format lists, format requests and frame sizes of video capture are rewritten; everything
// else, and everything while neither is set, goes to the driver unchanged.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <linux/videodev2.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>

#define EXPORT __attribute__((visibility("default")))

static int real_ioctl(int fd, unsigned long req, void *arg) {
  static int (*real)(int, unsigned long, ...);
  if (!real) real = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
  return real(fd, req, arg);
}

// The wanted format as V4L2 codes it, or 0 if none is set.
static __u32 wanted_format(void) {
  const char *s = getenv("ORVELLE_KERNEL_FORMAT");
  if (!s || !*s) return 0;
  char c[4] = {' ', ' ', ' ', ' '};
  size_t n = strcspn(s, "-");
  memcpy(c, s, n < 4 ? n : 4);
  __u32 f = v4l2_fourcc(c[0], c[1], c[2], c[3]);
  return strcmp(s + n, "-BE") == 0 ? v4l2_fourcc_be(c[0], c[1], c[2], c[3]) : f;
}

static int wanted_size(__u32 *w, __u32 *h) {
  const char *s = getenv("ORVELLE_KERNEL_SIZE");
  return s && sscanf(s, "%ux%u", w, h) == 2;
}

static int fail(int error) {
  errno = error;
  return -1;
}

// The driver's description of `format`, presented as the only one.
static int enum_fmt(int fd, struct v4l2_fmtdesc *d, __u32 format) {
  if (d->index != 0) return fail(EINVAL);
  for (struct v4l2_fmtdesc real = {.type = d->type};; real.index++) {
    if (real_ioctl(fd, VIDIOC_ENUM_FMT, &real) < 0) return -1;
    if (real.pixelformat == format) {
      real.index = 0;
      *d = real;
      return 0;
    }
  }
}

EXPORT int ioctl(int fd, unsigned long req, ...) {
  va_list ap;
  va_start(ap, req);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  const __u32 format = wanted_format();
  __u32 w = 0, h = 0;
  const int sized = wanted_size(&w, &h);
  switch (req) {
    case VIDIOC_ENUM_FMT: {
      struct v4l2_fmtdesc *d = arg;
      if (format && d->type == V4L2_BUF_TYPE_VIDEO_CAPTURE) return enum_fmt(fd, d, format);
      break;
    }
    case VIDIOC_TRY_FMT:
    case VIDIOC_S_FMT: {
      // As a driver does, a request it cannot meet is changed into one it can.
      struct v4l2_format *f = arg;
      if (f->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) break;
      if (format) f->fmt.pix.pixelformat = format;
      if (sized) f->fmt.pix.width = w, f->fmt.pix.height = h;
      break;
    }
    case VIDIOC_ENUM_FRAMESIZES: {
      struct v4l2_frmsizeenum *s = arg;
      if (format && s->pixel_format != format) return fail(EINVAL);
      if (!sized) break;
      if (s->index != 0) return fail(EINVAL);
      s->type = V4L2_FRMSIZE_TYPE_DISCRETE;
      s->discrete.width = w;
      s->discrete.height = h;
      return 0;
    }
  }
  return real_ioctl(fd, req, arg);
}
