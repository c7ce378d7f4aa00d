// Encodes the restored pictures in chunks, side by side: each chunk (a group of pictures, or a
// run of at most chunk_pictures of a long group) goes to its own encoder on one of a few worker
// threads, and the packets leave in the order of the pictures, whichever encoder finishes
// first. Every chunk starts a fresh encoder, so each begins with an IDR picture and depends on
// no other; encoders opened with the same settings write the same parameter sets, so the
// chunks join into one stream.
//
// The chunks share one bit rate: a fresh encoder spends more than its target at first (its IDR
// picture, its rate control finding its feet), so each chunk's encoder is asked for the target
// scaled down by how far the finished chunks overshot it, less a share of what the stream has
// overspent so far, and the stream keeps the target.
//
// Nothing here knows a codec: the encoders come from a factory (tests give fakes). The caller
// feeds pictures from one thread; the workers hand packets on, one thread at a time, in order.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "common/ffHolders.h"
#include "common/jobContext.h"

// How the pictures are split and how many encoders work at once.
struct chunk_plan {
    int instances = 1;       // encoders working side by side; 1: no chunks, one encoder for the run
    int threads = 0;         // threads of each encoder (0: the encoder's own choice)
    int chunk_pictures = 0;  // the longest chunk
    int held_pictures = 0;   // most pictures waiting for an encoder, all chunks together
};

// The plan for a software encoder of codec_id on this many cores at this picture size (bytes
// of one picture in the encoder's format). Fewer encoders than cores where their memory would
// outweigh the gain: a second encoder must fit in half of what a one-encoder run takes.
chunk_plan plan_chunks(int cores, int codec_id, int64_t picture_bytes);

// The cores this process may run on (its CPU affinity, so `taskset` counts), at least 1.
int usable_cores();

// One encoder for one chunk.
class chunkEncoder {
public:
    using sink = std::function<void(AVPacket*)>;
    virtual ~chunkEncoder() = default;
    // Encodes frame, or with null drains the encoder at the end of the chunk; every packet
    // that is ready goes to out (which takes its own reference). False when the encoder
    // failed; it has said why.
    virtual bool encode(AVFrame* frame, const sink& out) = 0;
};

class encoderPool {
public:
    // Opens the encoder of a chunk, asked for rate_scale times the target bit rate. Null: the
    // encoder could not be opened (it has said why).
    using factory = std::function<std::unique_ptr<chunkEncoder>(double rate_scale)>;

    // Starts plan.instances workers, bound to job: it receives their failures, their log lines
    // and a progress note for every picture as it leaves an encoder. picture_bits: the target
    // bits per picture (0: every encoder gets the target as it is). hand_on receives every
    // packet, in picture order, on one worker at a time; it must take its own reference.
    encoderPool(job_context& job, const chunk_plan& plan, double picture_bits, factory make, chunkEncoder::sink hand_on);
    // Stops and joins the workers; chunks not yet handed on are dropped.
    ~encoderPool();
    encoderPool(const encoderPool&) = delete;
    encoderPool& operator=(const encoderPool&) = delete;

    // Queues a reference to frame (from one thread only). A new chunk begins at a group start
    // and after chunk_pictures pictures (fewer, to cut a long group into equal chunks, when
    // the group before had the length to tell). Waits while held_pictures pictures wait for an
    // encoder. False once the run has failed (the frame is not queued).
    bool add(const AVFrame* frame, bool group_start);

    // End of the input: waits until every picture has been encoded and handed on, or the run
    // has failed. False in the second case.
    bool finish();

private:
    struct chunk {
        std::deque<ff::frame_ptr> frames;   // waiting for the encoder
        std::deque<ff::packet_ptr> packets;  // encoded, waiting for the chunks before
        int64_t pictures = 0;                // taken in
        int64_t handed_on = 0;
        int64_t bits = 0;                    // of the packets its encoder gave
        double rate_scale = 1.0;             // what its encoder was asked for
        bool closed = false;  // no more pictures will come
        bool taken = false;   // a worker encodes it
        bool done = false;    // its encoder is drained
    };

    void worker();
    // Encodes one chunk on the calling worker. False when the run failed.
    bool encode_chunk(const std::shared_ptr<chunk>& c);
    // Hands on the packets that are next in order, unless another worker does already.
    void hand_on_ready();
    // Under mutex_: the rate scale for the next chunk's encoder.
    double next_rate_scale_locked() const;
    // Under mutex_: the most pictures of the chunk that begins now.
    int64_t next_chunk_limit_locked() const;
    // Notes a failure of the run (setting the result status if no one has) and wakes everyone.
    void fail();
    // Under mutex_: the run has failed or the pool is stopping.
    bool stopped_locked() const;
    // Under mutex_: waits on cond for at most the status-check period.
    void wait_locked(std::unique_lock<std::mutex>& lock, std::condition_variable& cond);

    job_context& job_;
    const chunk_plan plan_;
    const double picture_bits_;
    const factory make_;
    const chunkEncoder::sink hand_on_;

    std::mutex mutex_;
    std::condition_variable work_cond_;   // workers: a chunk to take, or pictures for theirs
    std::condition_variable space_cond_;  // the feeder and finish(): room, or everything handed on
    std::deque<std::shared_ptr<chunk>> chunks_;  // oldest first, until handed on completely
    int64_t waiting_ = 0;         // pictures queued in chunks, not yet taken by an encoder
    int64_t outstanding_ = 0;     // pictures taken in and not yet handed on
    int64_t chunk_limit_ = 0;     // the most pictures of the newest chunk
    int64_t group_pictures_ = 0;  // pictures taken in since the last group start
    int64_t last_group_ = 0;      // pictures of the last whole group (0: none yet)
    bool handing_on_ = false;     // a worker is handing packets on
    // One progress note at a time (the job's callback may be the caller's).
    std::mutex progress_mutex_;
    // Of the chunks whose encoders are drained: the bits they gave, the bits they were asked
    // for (their pictures at their rate scale), and the target's bits for their pictures.
    double finished_bits_ = 0;
    double finished_asked_ = 0;
    double finished_target_ = 0;
    bool failed_ = false;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};
