// A test helper for the tool's written videos: makes a clip with sound, and tells what a file
// holds.
//   av_clip make OUT FRAMES FPS [subtitles|vfr]
//                                   Motion JPEG frames (a bright square moving on grey) and,
//                                   where the container holds it, one 16-bit PCM sound
//                                   stream as long as the frames; with "subtitles", also a
//                                   SubRip stream of one line; with "vfr", frames one and
//                                   three periods apart in turn (a variable frame rate)
//   av_clip probe FILE              one line per stream: "video CODEC FRAMES" or
//                                   "audio CODEC SECONDS"
//   av_clip ends FILE               one line per stream: "video SECONDS" or "audio SECONDS",
//                                   where its last packet ends
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
}

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int Fail(const char* what) {
    std::fprintf(stderr, "av_clip: %s\n", what);
    return 1;
}

int Make(const char* path, int frames, int fps, bool subtitles, bool vfr) {
    AVFormatContext* out = nullptr;
    if (avformat_alloc_output_context2(&out, nullptr, nullptr, path) < 0) return Fail("container");
    const AVCodec* vc = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    const AVCodec* ac = avcodec_find_encoder(AV_CODEC_ID_PCM_S16LE);
    AVCodecContext* ve = avcodec_alloc_context3(vc);
    AVCodecContext* ae = avcodec_alloc_context3(ac);
    ve->width = 160;
    ve->height = 120;
    ve->pix_fmt = AV_PIX_FMT_YUVJ420P;
    ve->time_base = {1, fps};
    int64_t shown = 0;  // the frame's time, in periods
    ae->sample_rate = 8000;
    ae->sample_fmt = AV_SAMPLE_FMT_S16;
    av_channel_layout_default(&ae->ch_layout, 1);
    ae->time_base = {1, 8000};
    if (avcodec_open2(ve, vc, nullptr) < 0 || avcodec_open2(ae, ac, nullptr) < 0)
        return Fail("encoders");
    AVStream* vs = avformat_new_stream(out, nullptr);
    avcodec_parameters_from_context(vs->codecpar, ve);
    vs->time_base = ve->time_base;
    AVStream* as = nullptr;
    if (avformat_query_codec(out->oformat, AV_CODEC_ID_PCM_S16LE, FF_COMPLIANCE_NORMAL) == 1) {
        as = avformat_new_stream(out, nullptr);
        avcodec_parameters_from_context(as->codecpar, ae);
        as->time_base = ae->time_base;
    }
    AVStream* ss = nullptr;
    if (subtitles) {
        ss = avformat_new_stream(out, nullptr);
        ss->codecpar->codec_type = AVMEDIA_TYPE_SUBTITLE;
        ss->codecpar->codec_id = AV_CODEC_ID_SUBRIP;
        ss->time_base = {1, 1000};
    }
    if (avio_open(&out->pb, path, AVIO_FLAG_WRITE) < 0 || avformat_write_header(out, nullptr) < 0)
        return Fail("header");
    AVPacket* line = av_packet_alloc();
    if (ss) {
        static const char kLine[] = "a line";
        av_new_packet(line, sizeof kLine - 1);
        std::memcpy(line->data, kLine, sizeof kLine - 1);
        line->pts = line->dts = 0;
        line->duration = av_rescale_q(1, {1, fps}, ss->time_base);
        line->stream_index = ss->index;
        av_interleaved_write_frame(out, line);
    }
    av_packet_free(&line);
    AVFrame* f = av_frame_alloc();
    AVPacket* p = av_packet_alloc();
    const int samples = 8000 / fps;
    for (int i = 0; i < frames; ++i) {
        f->format = ve->pix_fmt;
        f->width = ve->width;
        f->height = ve->height;
        av_frame_get_buffer(f, 0);
        for (int y = 0; y < 120; ++y)
            for (int x = 0; x < 160; ++x)
                f->data[0][y * f->linesize[0] + x] =
                    (x / 20 == i % 8 && y > 40 && y < 80) ? 235 : 128;
        for (int c = 1; c < 3; ++c) std::memset(f->data[c], 128, size_t(f->linesize[c]) * 60);
        f->pts = shown;
        const int periods = vfr && i % 2 ? 3 : 1;
        shown += periods;
        avcodec_send_frame(ve, f);
        while (avcodec_receive_packet(ve, p) == 0) {
            av_packet_rescale_ts(p, ve->time_base, vs->time_base);
            p->stream_index = vs->index;
            av_interleaved_write_frame(out, p);
        }
        av_frame_unref(f);
        if (!as) continue;
        f->format = ae->sample_fmt;
        f->nb_samples = samples * periods;
        av_channel_layout_copy(&f->ch_layout, &ae->ch_layout);
        f->sample_rate = 8000;
        av_frame_get_buffer(f, 0);
        auto* pcm = reinterpret_cast<int16_t*>(f->data[0]);
        const int64_t first = (shown - periods) * samples;
        for (int k = 0; k < samples * periods; ++k)
            pcm[k] = int16_t(8000 * std::sin(2 * M_PI * 440 * (first + k) / 8000.0));
        f->pts = first;
        avcodec_send_frame(ae, f);
        while (avcodec_receive_packet(ae, p) == 0) {
            av_packet_rescale_ts(p, ae->time_base, as->time_base);
            p->stream_index = as->index;
            av_interleaved_write_frame(out, p);
        }
        av_frame_unref(f);
    }
    avcodec_send_frame(ve, nullptr);
    while (avcodec_receive_packet(ve, p) == 0) {
        av_packet_rescale_ts(p, ve->time_base, vs->time_base);
        p->stream_index = vs->index;
        av_interleaved_write_frame(out, p);
    }
    av_write_trailer(out);
    avio_closep(&out->pb);
    av_frame_free(&f);
    av_packet_free(&p);
    avcodec_free_context(&ve);
    avcodec_free_context(&ae);
    avformat_free_context(out);
    return 0;
}

int Probe(const char* path, bool ends) {
    AVFormatContext* in = nullptr;
    if (avformat_open_input(&in, path, nullptr, nullptr) < 0 ||
        avformat_find_stream_info(in, nullptr) < 0)
        return Fail("cannot read");
    long frames[64] = {0};
    double end[64] = {0};
    AVPacket* p = av_packet_alloc();
    while (av_read_frame(in, p) == 0) {
        const int s = p->stream_index;
        if (s < 64) {
            frames[s]++;
            const AVStream* st = in->streams[s];
            if (p->pts != AV_NOPTS_VALUE)
                end[s] = std::fmax(end[s], (p->pts + p->duration) * av_q2d(st->time_base));
        }
        av_packet_unref(p);
    }
    for (unsigned s = 0; s < in->nb_streams && s < 64; ++s) {
        const AVCodecParameters* par = in->streams[s]->codecpar;
        if (ends) {
            const char* kind = av_get_media_type_string(par->codec_type);
            std::printf("%s %.3f\n", kind ? kind : "data", end[s]);
            continue;
        }
        if (par->codec_type == AVMEDIA_TYPE_VIDEO)
            std::printf("video %s %ld\n", avcodec_get_name(par->codec_id), frames[s]);
        else if (par->codec_type == AVMEDIA_TYPE_AUDIO)
            std::printf("audio %s %.2f\n", avcodec_get_name(par->codec_id), end[s]);
    }
    av_packet_free(&p);
    avformat_close_input(&in);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const char* option = argc == 6 ? argv[5] : "";
    if ((argc == 5 || (argc == 6 && (std::strcmp(option, "subtitles") == 0 ||
                                     std::strcmp(option, "vfr") == 0))) &&
        std::strcmp(argv[1], "make") == 0)
        return Make(argv[2], std::atoi(argv[3]), std::atoi(argv[4]),
                    std::strcmp(option, "subtitles") == 0, std::strcmp(option, "vfr") == 0);
    if (argc == 3 && std::strcmp(argv[1], "ends") == 0) return Probe(argv[2], true);
    if (argc == 3 && std::strcmp(argv[1], "probe") == 0) return Probe(argv[2], false);
    return Fail(
        "usage: av_clip make OUT FRAMES FPS [subtitles|vfr] | av_clip probe FILE | "
        "av_clip ends FILE");
}
