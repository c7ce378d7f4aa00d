// Placeholder until the privacy step lands: drops every packet.
#include "demux/mediaDemuxer.h"

int mediaDemuxer::demuxer_mosic_process(AVPacket*) { return 0; }
