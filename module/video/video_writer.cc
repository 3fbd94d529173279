#include "video/video_writer.h"

#include "common/whole_files.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>

namespace fs = std::filesystem;

namespace nerova {
namespace module {

namespace {

std::string AvError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_strerror(code, text, sizeof text);
    return text;
}

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), ::tolower);
    return s;
}

// The encoder for a codec name, or by the container: Motion JPEG in .avi, H.264 elsewhere
// when this build has it, MPEG-4 Part 2 otherwise.
const AVCodec* EncoderFor(const std::string& codec, const fs::path& target) {
    std::string name = codec;
    if (name.empty()) name = Lower(target.extension().string()) == ".avi" ? "mjpeg" : "h264";
    if (name == "h264") {
        if (const AVCodec* c = avcodec_find_encoder_by_name("libx264")) return c;
        if (codec.empty()) return avcodec_find_encoder(AV_CODEC_ID_MPEG4);
    }
    return avcodec_find_encoder_by_name(name.c_str());
}

constexpr int kTicks = 60000;  // a second, for containers that time each frame

// The encoder's pixel format: 4:2:0, or 4:4:4 for a frame with an odd side where the encoder
// takes it (so that no column or row is lost); FFV1 keeps the colours exactly.
AVPixelFormat PixelFormatFor(const AVCodec& codec, bool odd) {
    if (codec.id == AV_CODEC_ID_FFV1) return AV_PIX_FMT_BGR0;
    const bool jpeg = codec.id == AV_CODEC_ID_MJPEG;
    const AVPixelFormat full = jpeg ? AV_PIX_FMT_YUVJ444P : AV_PIX_FMT_YUV444P;
    for (const AVPixelFormat* f = codec.pix_fmts; odd && f && *f != AV_PIX_FMT_NONE; ++f)
        if (*f == full) return full;
    return jpeg ? AV_PIX_FMT_YUVJ420P : AV_PIX_FMT_YUV420P;
}

}  // namespace

bool CanEncode(const std::string& codec) {
    const AVCodec* c = EncoderFor(codec, "x.mkv");
    return c && (codec != "h264" || std::string(c->name) == "libx264");
}

struct VideoOutput::Av {
    AVFormatContext* out = nullptr;
    AVCodecContext* enc = nullptr;
    AVStream* video = nullptr;
    SwsContext* sws = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
    int64_t last_pts = -1;  // the last frame's, in the encoder's time base
    bool pipe = false;      // written as it comes, not through a temporary file
    int64_t period = 1;     // one frame at the first frame's rate, in that time base
    // The input's sound: its streams and where each goes.
    AVFormatContext* in = nullptr;
    std::vector<int> map;  // input stream index -> output stream index, -1 none
    bool sound_done = true;

    ~Av() {
        if (packet) av_packet_free(&packet);
        if (frame) av_frame_free(&frame);
        if (sws) sws_freeContext(sws);
        if (enc) avcodec_free_context(&enc);
        if (out) {
            if (out->pb) avio_closep(&out->pb);
            avformat_free_context(out);
        }
        if (in) avformat_close_input(&in);
    }
};

VideoOutput::VideoOutput(fs::path target, bool overwrite, VideoSettings settings,
                         std::string source)
    : target_(std::move(target)),
      overwrite_(overwrite),
      settings_(std::move(settings)),
      source_(std::move(source)) {}

VideoOutput::~VideoOutput() {
    av_.reset();
    if (!temp_.empty()) {
        std::error_code ec;
        fs::remove(temp_, ec);
    }
}

std::string VideoOutput::Open(int width, int height, int source_format, double fps) {
    // Standard output or a pipe is written as it comes, in Matroska unless the pipe's name
    // says otherwise; a file appears whole or not at all.
    std::error_code ec;
    const bool pipe = target_ == "-" || fs::is_fifo(target_, ec);
    const fs::path named = target_.extension().empty() ? fs::path("stream.mkv") : target_;
    if (!pipe) {
        if (std::string taken = NotRegularFile(target_); !taken.empty()) return taken;
        fs::create_directories(target_.parent_path(), ec);
        if (ec) return ec.message();
        temp_ = TempPathFor(target_);
    }
    const fs::path& container = pipe ? named : target_;
    const std::string url = !pipe ? temp_.string() : target_ == "-" ? "pipe:1" : target_.string();
    av_ = std::make_unique<Av>();
    Av& a = *av_;
    a.pipe = pipe;
    int rc = avformat_alloc_output_context2(&a.out, nullptr, nullptr,
                                            pipe ? named.c_str() : temp_.c_str());
    if (rc < 0 || !a.out) return "no container for " + container.extension().string();
    const AVCodec* codec = EncoderFor(settings_.codec, container);
    if (!codec) return "this build has no " + settings_.codec + " encoder";
    if (avformat_query_codec(a.out->oformat, codec->id, FF_COMPLIANCE_NORMAL) != 1)
        return std::string("a ") + container.extension().string() + " file cannot hold " +
               codec->name + " video";
    a.enc = avcodec_alloc_context3(codec);
    a.video = avformat_new_stream(a.out, nullptr);
    a.frame = av_frame_alloc();
    a.packet = av_packet_alloc();
    if (!a.enc || !a.video || !a.frame || !a.packet) return "out of memory";
    const AVRational rate = av_d2q(fps, 100000);
    a.enc->width = width;
    a.enc->height = height;
    // AVI numbers its frames at one rate; elsewhere frames carry their own times, in ticks that
    // hold the common rates exactly (and that MPEG-4 takes, below 2^16).
    const bool numbered = std::string(a.out->oformat->name) == "avi";
    a.enc->time_base = numbered ? av_inv_q(rate) : AVRational{1, kTicks};
    a.period = numbered ? 1 : std::max<int64_t>(1, std::llround(kTicks / av_q2d(rate)));
    a.enc->framerate = rate;
    a.enc->pix_fmt = PixelFormatFor(*codec, (width | height) & 1);
    // 4:2:0 needs even sides: an encoder without 4:4:4 keeps the last odd column or row out.
    if (a.enc->pix_fmt == AV_PIX_FMT_YUV420P || a.enc->pix_fmt == AV_PIX_FMT_YUVJ420P) {
        a.enc->width &= ~1;
        a.enc->height &= ~1;
        if (a.enc->width == 0 || a.enc->height == 0) return "the frame is too small to encode";
        if (a.enc->width != width || a.enc->height != height)
            notes_.push_back(std::string("the ") + codec->name +
                             " encoder takes even sides only: " + std::to_string(width) + "x" +
                             std::to_string(height) + " frames are written as " +
                             std::to_string(a.enc->width) + "x" + std::to_string(a.enc->height) +
                             " (--video-codec h264, mjpeg or ffv1 keeps every pixel)");
    }
    // One quality scale for all: 80 is visually lossless H.264 (CRF 20) and MPEG-4 or Motion
    // JPEG at quantiser 7; FFV1 is lossless whatever the quality.
    const int q = std::clamp(settings_.quality, 1, 100);
    if (std::string(codec->name) == "libx264") {
        av_opt_set_double(a.enc->priv_data, "crf", 12 + (100 - q) * 0.39, 0);
        av_opt_set(a.enc->priv_data, "preset", "medium", 0);
        // A pipe's reader waits for each frame: no look-ahead inside the encoder.
        if (pipe) av_opt_set(a.enc->priv_data, "tune", "zerolatency", 0);
    } else if (codec->id != AV_CODEC_ID_FFV1) {
        a.enc->flags |= AV_CODEC_FLAG_QSCALE;
        a.enc->global_quality = static_cast<int>(FF_QP2LAMBDA * (1 + (100 - q) * 0.3));
    }
    a.enc->thread_count = 1;  // the tool's jobs are the parallelism
    // Frames in their order: readers then give each its own time (with reordered B-frames
    // some report the container's decode order instead).
    a.enc->max_b_frames = 0;
    if (a.out->oformat->flags & AVFMT_GLOBALHEADER) a.enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if ((rc = avcodec_open2(a.enc, codec, nullptr)) < 0) return "encoder: " + AvError(rc);
    avcodec_parameters_from_context(a.video->codecpar, a.enc);
    a.video->time_base = a.enc->time_base;
    a.video->avg_frame_rate = rate;

    // The input's sound, copied as it is; what the container cannot hold is named.
    if (!source_.empty() && avformat_open_input(&a.in, source_.c_str(), nullptr, nullptr) == 0 &&
        avformat_find_stream_info(a.in, nullptr) >= 0) {
        a.map.assign(a.in->nb_streams, -1);
        for (unsigned i = 0; i < a.in->nb_streams; ++i) {
            const AVCodecParameters* par = a.in->streams[i]->codecpar;
            if (par->codec_type == AVMEDIA_TYPE_VIDEO) continue;  // replaced by the frames
            const char* kind = av_get_media_type_string(par->codec_type);
            const std::string what = "stream " + std::to_string(i) + " (" + (kind ? kind : "data") +
                                     ", " + avcodec_get_name(par->codec_id) + ")";
            if (par->codec_type != AVMEDIA_TYPE_AUDIO ||
                avformat_query_codec(a.out->oformat, par->codec_id, FF_COMPLIANCE_NORMAL) != 1) {
                notes_.push_back(what + " is not kept: a " + container.extension().string() +
                                 " file written here holds video and sound only, in its codecs");
                continue;
            }
            AVStream* s = avformat_new_stream(a.out, nullptr);
            if (!s || avcodec_parameters_copy(s->codecpar, par) < 0) return "out of memory";
            s->codecpar->codec_tag = 0;
            s->time_base = a.in->streams[i]->time_base;
            a.map[i] = s->index;
            a.sound_done = false;
        }
    } else if (a.in) {
        avformat_close_input(&a.in);
    }
    if ((rc = avio_open(&a.out->pb, url.c_str(), AVIO_FLAG_WRITE)) < 0) return AvError(rc);
    if ((rc = avformat_write_header(a.out, nullptr)) < 0) return "container: " + AvError(rc);
    // The encoder's size out of the frame's top-left (all of it but a dropped odd side).
    a.sws = sws_getContext(a.enc->width, a.enc->height, static_cast<AVPixelFormat>(source_format),
                           a.enc->width, a.enc->height, a.enc->pix_fmt, SWS_BICUBIC, nullptr,
                           nullptr, nullptr);
    a.frame->format = a.enc->pix_fmt;
    a.frame->width = a.enc->width;
    a.frame->height = a.enc->height;
    if (!a.sws || av_frame_get_buffer(a.frame, 0) < 0) return "out of memory";
    return "";
}

std::string VideoOutput::Write(const uint8_t* pixels, int width, int height, int stride,
                               int channels, bool rgb, double fps, double seconds) {
    if (!error_.empty()) return error_;
    const int format = channels == 1   ? AV_PIX_FMT_GRAY8
                       : channels == 3 ? (rgb ? AV_PIX_FMT_RGB24 : AV_PIX_FMT_BGR24)
                                       : (rgb ? AV_PIX_FMT_RGBA : AV_PIX_FMT_BGRA);
    if (!av_) {
        width_ = width;
        height_ = height;
        format_ = format;
        if (!(error_ = Open(width, height, format, fps)).empty()) return error_;
    } else if (width != width_ || height != height_ || format != format_) {
        return error_ = "a frame of another size or format than the first";
    }
    Av& a = *av_;
    if (av_frame_make_writable(a.frame) < 0) return error_ = "out of memory";
    // The encoder's size out of the frame's top-left.
    const uint8_t* src[1] = {pixels};
    const int strides[1] = {stride};
    sws_scale(a.sws, src, strides, 0, a.enc->height, a.frame->data, a.frame->linesize);
    // At its own time where given (a variable-rate video keeps its timing; in an AVI, a gap
    // repeats the frame before it), else a period after the last; always after the last.
    int64_t pts = a.last_pts < 0 ? 0 : a.last_pts + a.period;
    if (seconds >= 0)
        pts = std::max<int64_t>(a.last_pts + 1, std::llround(seconds / av_q2d(a.enc->time_base)));
    a.frame->pts = a.last_pts = pts;
    const int rc = avcodec_send_frame(a.enc, a.frame);
    if (rc < 0) return error_ = "encoder: " + AvError(rc);
    return error_ = Encode(false);
}

// Writes what the encoder has ready, and the sound up to the video written so far.
std::string VideoOutput::Encode(bool flush) {
    Av& a = *av_;
    for (;;) {
        const int rc = avcodec_receive_packet(a.enc, a.packet);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) break;
        if (rc < 0) return "encoder: " + AvError(rc);
        if (a.packet->duration <= 0) a.packet->duration = a.period;
        av_packet_rescale_ts(a.packet, a.enc->time_base, a.video->time_base);
        a.packet->stream_index = a.video->index;
        const double seconds = a.packet->dts * av_q2d(a.video->time_base);
        const int w = av_interleaved_write_frame(a.out, a.packet);
        if (w < 0) return "cannot write: " + AvError(w);
        if (std::string err = CopySound(seconds); !err.empty()) return err;
    }
    if (flush) return CopySound(INFINITY);
    return "";
}

std::string VideoOutput::CopySound(double until_seconds) {
    Av& a = *av_;
    while (!a.sound_done) {
        const int rc = av_read_frame(a.in, a.packet);
        if (rc < 0) {  // the end, or a read error: the sound ends here
            a.sound_done = true;
            break;
        }
        const int to = a.packet->stream_index < static_cast<int>(a.map.size())
                           ? a.map[static_cast<size_t>(a.packet->stream_index)]
                           : -1;
        if (to < 0) {
            av_packet_unref(a.packet);
            continue;
        }
        const AVStream* from = a.in->streams[a.packet->stream_index];
        // Both start at the input's start: the frames are numbered from its first.
        const int64_t start =
            a.in->start_time == AV_NOPTS_VALUE
                ? 0
                : av_rescale_q(a.in->start_time, AVRational{1, AV_TIME_BASE}, from->time_base);
        if (a.packet->pts != AV_NOPTS_VALUE) a.packet->pts -= start;
        if (a.packet->dts != AV_NOPTS_VALUE) a.packet->dts -= start;
        const double seconds =
            a.packet->dts == AV_NOPTS_VALUE ? 0 : a.packet->dts * av_q2d(from->time_base);
        av_packet_rescale_ts(a.packet, from->time_base, a.out->streams[to]->time_base);
        a.packet->stream_index = to;
        a.packet->pos = -1;
        const int w = av_interleaved_write_frame(a.out, a.packet);
        if (w < 0) return "cannot write the sound: " + AvError(w);
        if (seconds > until_seconds) break;
    }
    return "";
}

std::string VideoOutput::Finish() {
    if (!error_.empty()) return error_;
    if (!av_) return "no frame was decoded";
    Av& a = *av_;
    int rc = avcodec_send_frame(a.enc, nullptr);
    if (rc < 0) return error_ = "encoder: " + AvError(rc);
    if (std::string err = Encode(true); !err.empty()) return error_ = err;
    if ((rc = av_write_trailer(a.out)) < 0) return error_ = "cannot write: " + AvError(rc);
    if ((rc = avio_closep(&a.out->pb)) < 0) return error_ = "cannot write: " + AvError(rc);
    const bool pipe = a.pipe;
    av_.reset();
    if (pipe) return "";
    const std::string err = CommitFile(temp_, target_, overwrite_);
    if (err.empty()) temp_.clear();
    return err;
}

}  // namespace module
}  // namespace nerova
