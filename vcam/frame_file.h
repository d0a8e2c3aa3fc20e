// SPDX-License-Identifier: Apache-2.0
// Raw frame file shared by liborvelle_vcam and orvelle_vcam_frames.
// Layout: one ASCII line "ORVCAM<v> <width> <height> <count>\n", then <count> frames of
// width*height*3 bytes each, BGR24, rows top to bottom, no padding. Version 1 ends there.
// Version 2 goes on with each frame's JPEG (for MJPG), encoded when the file was made:
// <count>+1 little-endian uint64 file offsets, JPEG i being the bytes [off[i], off[i+1]),
// then the JPEGs back to back, so off[0] is the end of the table and off[count] the file's
// size. A JPEG has the frame's size with its width rounded as the camera reports it (see
// orvcam_served_width), so it decodes to the picture the other formats show.
#ifndef ORVELLE_VCAM_FRAME_FILE_H
#define ORVELLE_VCAM_FRAME_FILE_H

#define ORVCAM_MAGIC_RAW "ORVCAM1"
#define ORVCAM_MAGIC_JPEG "ORVCAM2"
#define ORVCAM_MAX_SIDE 4096

// OpenCV 4.6 pads its own rows to 4 bytes but copies BGR24 unpadded (and decodes JPEGs into
// an unpadded image), so the camera serves widths that are a multiple of 4.
static inline int orvcam_served_width(int w) { return w < 4 ? 4 : w & ~3; }

#endif
