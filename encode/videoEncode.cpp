// Placeholder until the encoder lands: refuses to set up.
#include "encode/videoEncode.h"

videoEncode::videoEncode(int, const encode_params*) { set_result_status(RESULT_ENCODER_ERROR); }
videoEncode::~videoEncode() = default;
bool videoEncode::push_data(void*) { return false; }
bool videoEncode::pop_data(void*) { return false; }
int videoEncode::video_enccode_send_data(AVFrame*) { return -1; }
int videoEncode::video_enccode_receive_data(AVPacket*) { return -1; }
bool videoEncode::init_qsv_encoder(int, const encode_params*) { return false; }
bool videoEncode::init_nvenc_encoder(int, const encode_params*) { return false; }
bool videoEncode::init_amf_encoder(int, const encode_params*) { return false; }
bool videoEncode::init_software_encoder(int, const encode_params*) { return false; }
AVFrame* videoEncode::frame_qsv_process(AVFrame*) { return nullptr; }
AVFrame* videoEncode::frame_amf_process(AVFrame*) { return nullptr; }
AVFrame* videoEncode::frame_nvenc_process(AVFrame*) { return nullptr; }
void videoEncode::loop_task() {}
