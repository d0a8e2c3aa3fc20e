// Raw frame file shared by liborvelle_vcam and orvelle_vcam_frames.
// Layout: one ASCII line "ORVCAM1 <width> <height> <count>\n", then <count> frames of
// width*height*3 bytes each, BGR24, rows top to bottom, no padding.
#ifndef ORVELLE_VCAM_FRAME_FILE_H
#define ORVELLE_VCAM_FRAME_FILE_H

#define ORVCAM_MAGIC "ORVCAM1"
#define ORVCAM_MAX_SIDE 4096

#endif
