// Placeholder until the muxer lands: refuses to set up.
#include "mux/mediaMuxer.h"

mediaMuxer::mediaMuxer(const char* path, AVCodecContext*, AVCodecParameters*) : output_path(path ? path : "") {
    set_result_status(RESULT_OPEN_OUTPUT_ERROR);
}
mediaMuxer::~mediaMuxer() = default;
bool mediaMuxer::push_data(void*) { return false; }
bool mediaMuxer::pop_data(void*) { return false; }
void mediaMuxer::loop_task() {}
