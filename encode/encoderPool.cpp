#include "encode/encoderPool.h"

#include <sched.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <chrono>


extern "C" {
#include <libavcodec/codec_id.h>
}

namespace {

// How often a waiting thread looks at the result status, in case the run fails elsewhere.
constexpr std::chrono::milliseconds k_status_check{10};

constexpr int64_t k_mib = 1024 * 1024;

// Encoders working side by side, at most: past this, chunks get more threads each instead,
// so that the pictures held stay a few chunks' worth.
constexpr int k_max_instances = 4;

// Memory of one run, estimated from the picture size (measured with libx264 and libx265 at
// preset medium, tune zerolatency, one thread, 360p to 2160p): the libraries and the stages
// around the encoder, the decoder's pictures and the stage queues, and one encoder's own
// pictures and state.
constexpr int64_t k_run_fixed = 44 * k_mib;
constexpr int64_t k_run_pictures = 16;
int64_t encoder_bytes(int codec_id, int64_t picture) {
    return codec_id == AV_CODEC_ID_HEVC ? 16 * k_mib + 40 * picture : 2 * k_mib + 28 * picture;
}

// Chunk length: long enough that the IDR picture that opens every chunk costs little, short
// enough that the pictures waiting for an encoder stay within the memory left.
constexpr int k_min_chunk = 8;
constexpr int k_max_chunk = 250;

// A chunk's encoder is never asked for more than the target: what decides the stream's level
// (the HEVC encoder's, see videoEncode) then holds for every chunk.
constexpr double k_min_rate_scale = 0.5;
constexpr double k_max_rate_scale = 1.0;
// Bits spent past the target are paid back over this many rounds of chunks (a round: one
// chunk per encoder).
constexpr double k_repay_rounds = 4;

}  // namespace

int usable_cores() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) return std::max(1, CPU_COUNT(&set));
    return std::max(1u, std::thread::hardware_concurrency());
}

chunk_plan plan_chunks(int cores, int codec_id, int64_t picture_bytes) {
    chunk_plan plan;
    cores = std::max(1, cores);
    picture_bytes = std::max<int64_t>(1, picture_bytes);
    // The parallel encode may add half of what a one-encoder run takes: further encoders, and
    // the pictures that wait for them (at least half the shortest chunk per further encoder).
    const int64_t encoder = encoder_bytes(codec_id, picture_bytes);
    const int64_t budget = (k_run_fixed + k_run_pictures * picture_bytes + encoder) / 2;
    int instances = std::min(cores, k_max_instances);
    while (instances > 1 && (instances - 1) * encoder + k_min_chunk / 2 * (instances - 1) * picture_bytes > budget)
        --instances;
    if (instances <= 1) return plan;  // one encoder, as many threads as it likes
    const int64_t held = (budget - (instances - 1) * encoder) / picture_bytes;
    plan.instances = instances;
    plan.threads = (cores + instances - 1) / instances;
    // The pictures of a chunk reach its encoder only after those of the chunks before it, which
    // wait meanwhile: with about one chunk's worth waiting per further encoder, an encoder that
    // finishes finds the next chunk complete and never idles (a simulation of two to four
    // encoders on groups of 49 and 250 pictures kept them 95 % busy or more; twice that chunk
    // length, 83 % to 95 %).
    plan.chunk_pictures = static_cast<int>(std::clamp<int64_t>(held / (instances - 1), k_min_chunk, k_max_chunk));
    // More waiting pictures than the other encoders' chunks would be memory for nothing.
    plan.held_pictures =
        static_cast<int>(std::clamp<int64_t>(held, 1, int64_t{instances - 1} * plan.chunk_pictures));
    return plan;
}

encoderPool::encoderPool(job_context& job, const chunk_plan& plan, double picture_bits, factory make,
                         chunkEncoder::sink hand_on)
    : job_(job), plan_(plan), picture_bits_(picture_bits), make_(std::move(make)), hand_on_(std::move(hand_on)) {
#if defined(__GLIBC__)
    // An encoder comes and goes with every chunk, on alternating threads. glibc would raise its
    // mmap threshold once the first encoder's large blocks are freed and then keep such blocks
    // in per-thread arenas, between packets still in use, where they pile up; a fixed threshold
    // (glibc's initial one) maps and unmaps them directly, and memory stays flat.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
    const int instances = std::max(1, plan_.instances);
    workers_.reserve(static_cast<size_t>(instances));
    try {
        for (int i = 0; i < instances; ++i) workers_.emplace_back([this] { worker(); });
    } catch (...) {
        // No thread: stop the ones that started, leave nothing running behind the exception.
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        work_cond_.notify_all();
        for (auto& w : workers_) w.join();
        throw;
    }
}

encoderPool::~encoderPool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    work_cond_.notify_all();
    space_cond_.notify_all();
    for (auto& w : workers_) w.join();
}

bool encoderPool::stopped_locked() const { return failed_ || stopping_ || job_.get_result_code() != RESULT_OK; }

void encoderPool::wait_locked(std::unique_lock<std::mutex>& lock, std::condition_variable& cond) {
    cond.wait_for(lock, k_status_check);
}

bool encoderPool::add(const AVFrame* frame, bool group_start) {
    ff::frame_ptr copy(av_frame_alloc());
    if (!copy || av_frame_ref(copy.get(), frame) < 0) {
        fail();
        return false;
    }
    // Pictures of chunks that wait behind a slow one are bounded too, encoded or not.
    const int64_t outstanding_bound =
        int64_t{plan_.held_pictures} + int64_t{plan_.instances} * std::max(1, plan_.chunk_pictures);
    {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stopped_locked() && (waiting_ >= plan_.held_pictures || outstanding_ >= outstanding_bound))
            wait_locked(lock, space_cond_);
        if (stopped_locked()) return false;
        if (group_start) {
            if (group_pictures_ > 0) last_group_ = group_pictures_;
            group_pictures_ = 0;
        }
        chunk* current = chunks_.empty() || chunks_.back()->closed ? nullptr : chunks_.back().get();
        if (current != nullptr && (group_start || current->pictures >= chunk_limit_)) {
            current->closed = true;
            current = nullptr;
        }
        if (current == nullptr) {
            chunks_.push_back(std::make_shared<chunk>());
            current = chunks_.back().get();
            chunk_limit_ = next_chunk_limit_locked();
        }
        current->frames.push_back(std::move(copy));
        ++current->pictures;
        ++group_pictures_;
        ++waiting_;
        ++outstanding_;
    }
    work_cond_.notify_all();
    return true;
}

bool encoderPool::finish() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!chunks_.empty()) chunks_.back()->closed = true;
    work_cond_.notify_all();
    while (!stopped_locked() && !chunks_.empty()) wait_locked(lock, space_cond_);
    return !failed_ && job_.get_result_code() == RESULT_OK && chunks_.empty();
}

void encoderPool::fail() {
    if (job_.get_result_code() == RESULT_OK) job_.set_result_status(RESULT_ENCODER_ERROR);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        failed_ = true;
    }
    work_cond_.notify_all();
    space_cond_.notify_all();
}

void encoderPool::worker() {
    // The encoders' log lines and FFmpeg's messages from this thread go to the job.
    job_context::thread_binding bound(job_);
    for (;;) {
        std::shared_ptr<chunk> next;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            for (;;) {
                if (stopped_locked()) return;
                // Chunks are taken in order, so the oldest chunk always has an encoder.
                auto untaken = std::find_if(chunks_.begin(), chunks_.end(), [](const auto& c) { return !c->taken; });
                if (untaken != chunks_.end()) {
                    next = *untaken;
                    next->taken = true;
                    break;
                }
                wait_locked(lock, work_cond_);
            }
        }
        if (!encode_chunk(next)) {
            fail();
            return;
        }
    }
}

int64_t encoderPool::next_chunk_limit_locked() const {
    const int64_t bound = std::max(1, plan_.chunk_pictures);
    // Groups of a stream are mostly as long as the one before. A group longer than the bound
    // is cut into chunks of equal length by that guess (49 pictures at a bound of 9 into 9 and
    // five of 8, not five of 9 and one of 4): a short chunk costs a whole IDR picture for few
    // others, and chunks of one length keep the encoders equally busy to the end. The last
    // chunk of the guess, anything past it, and the first group take the bound (the group's
    // end cuts the chunk where it comes).
    const int64_t remaining = last_group_ - group_pictures_;
    if (remaining <= bound) return bound;
    const int64_t parts = (remaining + bound - 1) / bound;
    return (remaining + parts - 1) / parts;
}

double encoderPool::next_rate_scale_locked() const {
    // The encoders overshoot their target by about the same factor chunk after chunk (it
    // depends on the pictures and the chunk length); the next one is asked for the target
    // divided by that factor, within bounds that keep one odd chunk from swinging the rest.
    if (picture_bits_ <= 0 || finished_bits_ <= 0 || finished_asked_ <= 0) return 1.0;
    // What the stream has spent past its target so far (the first chunks, asked for the
    // target before any overshoot was known, spend the most) is paid back over the next few
    // rounds of chunks, as an encoder's own rate control pays back what it overspent, so the
    // whole stream keeps the target.
    const double surplus = finished_bits_ - finished_target_;
    const double repay_bits =
        picture_bits_ * k_repay_rounds * std::max(1, plan_.instances) * std::max(1, plan_.chunk_pictures);
    return std::clamp(finished_asked_ / finished_bits_ * (1.0 - surplus / repay_bits), k_min_rate_scale,
                      k_max_rate_scale);
}

bool encoderPool::encode_chunk(const std::shared_ptr<chunk>& c) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        c->rate_scale = next_rate_scale_locked();
    }
    std::unique_ptr<chunkEncoder> encoder = make_(c->rate_scale);
    if (!encoder) return false;
    std::vector<ff::packet_ptr> ready;
    int64_t bits = 0;
    const chunkEncoder::sink collect = [&ready, &bits](AVPacket* packet) {
        ff::packet_ptr copy(av_packet_alloc());
        if (copy && av_packet_ref(copy.get(), packet) >= 0) ready.push_back(std::move(copy));
        bits += int64_t{packet->size} * 8;
    };
    for (bool drained = false; !drained;) {
        ff::frame_ptr frame;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            while (!stopped_locked() && c->frames.empty() && !c->closed) wait_locked(lock, work_cond_);
            if (stopped_locked()) return true;  // someone else's failure, or the end
            if (c->frames.empty()) {
                drained = true;  // closed and all sent: the encoder gives up what it still holds
            } else {
                frame = std::move(c->frames.front());
                c->frames.pop_front();
                --waiting_;
            }
        }
        if (frame) space_cond_.notify_all();
        const bool ok = encoder->encode(frame.get(), collect);
        frame.reset();
        if (drained) encoder.reset();  // its memory goes before the next chunk's encoder comes
        // Restored pictures leave the encoders here, whenever the muxer gets them.
        if (!ready.empty()) {
            std::lock_guard<std::mutex> lock(progress_mutex_);
            for (size_t i = 0; i < ready.size(); ++i) job_.progress.note_picture_written();
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (auto& packet : ready) c->packets.push_back(std::move(packet));
            c->done = drained;
            if (drained) {
                finished_bits_ += static_cast<double>(bits);
                finished_asked_ += c->rate_scale * static_cast<double>(c->pictures) * picture_bits_;
                finished_target_ += static_cast<double>(c->pictures) * picture_bits_;
            }
        }
        ready.clear();
        if (!ok) return false;
        hand_on_ready();
    }
    return true;
}

void encoderPool::hand_on_ready() {
    std::unique_lock<std::mutex> lock(mutex_);
    // The worker handing on takes up whatever the others add meanwhile before it stops.
    if (handing_on_) return;
    handing_on_ = true;
    std::vector<ff::packet_ptr> batch;
    while (!stopped_locked() && !chunks_.empty()) {
        const std::shared_ptr<chunk> head = chunks_.front();
        if (!head->packets.empty()) {
            for (auto& packet : head->packets) batch.push_back(std::move(packet));
            head->packets.clear();
            lock.unlock();
            for (auto& packet : batch) hand_on_(packet.get());
            lock.lock();
            const int64_t n = static_cast<int64_t>(batch.size());
            outstanding_ -= std::clamp<int64_t>(head->pictures - head->handed_on, 0, n);
            head->handed_on += n;
            batch.clear();
            continue;
        }
        if (!head->done) break;
        // Pictures that gave no packet are handed on too, as far as the bound is concerned.
        outstanding_ -= std::max<int64_t>(0, head->pictures - head->handed_on);
        chunks_.pop_front();
    }
    handing_on_ = false;
    lock.unlock();
    space_cond_.notify_all();
}
