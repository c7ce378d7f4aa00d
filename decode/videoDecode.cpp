// Placeholder until the decoder lands: refuses to set up.
#include "decode/videoDecode.h"

videoDecode::videoDecode(int id) : codec_id(id) { set_result_status(RESULT_DECODER_ERROR); }
videoDecode::~videoDecode() = default;
bool videoDecode::push_data(void*) { return false; }
bool videoDecode::pop_data(void*) { return false; }
int videoDecode::video_decode_send_data(AVPacket*) { return -1; }
int videoDecode::video_decode_receive_data(AVFrame*) { return -1; }
void videoDecode::loop_task() {}
