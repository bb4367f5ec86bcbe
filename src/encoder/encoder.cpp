// skevla-encoder: writes --video, the frames the viewer hands it, through
// FFmpeg's libraries: H.264 in fragmented MP4, VP9 in WebM or lossless FFV1
// in Matroska, by the file's extension. The viewer opens the one file it
// writes and hands it over on descriptor 4; it has that file and its
// channel and nothing else, in a box that opens nothing, and touches the
// file only at the viewer's word to begin. It writes as it goes, so a file
// cut off at any moment plays up to its last second or so; when the viewer
// ends, whatever it is blocked in, the encoder finishes the file and ends
// too.
//
//     skevla-encoder [--no-sandbox] WIDTHxHEIGHT RATE FILE     (FILE: the name, for messages)

#include "boxes.h"
#include "child.h"
#include "failure.h"
#include "identity.h"
#include "picture.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace
{

// The file, where the viewer hands it and the allowlist expects it.
constexpr int file_fd = handed_descriptor;

// What each extension makes, in their order: the container, the codec,
// its pixels.
struct kind {
    const char *muxer;
    AVCodecID codec;
    AVPixelFormat pixels;
};
constexpr kind kinds[] = {{"mp4", AV_CODEC_ID_H264, AV_PIX_FMT_YUV420P},
                          {"webm", AV_CODEC_ID_VP9, AV_PIX_FMT_YUV420P},
                          {"matroska", AV_CODEC_ID_FFV1, AV_PIX_FMT_BGR0}};
static_assert(std::size(kinds) == std::size(video_extensions));

struct video {
    const char *path;
    int kind_index; // in kinds, as videoKind numbers them
    const kind *made;
    std::uint32_t width, height; // of the frames handed over
    int rate;                    // frames a second
    AVFormatContext *format;
    AVCodecContext *codec;
    AVStream *stream;
    SwsContext *scale;
    AVFrame *frame;
    AVPacket *packet;
    // Lossless video's frames are each whole (a keyframe): a repeat is the
    // last one's packet again, at its own time, never encoded anew.
    bool repeats_packets;
    AVPacket *last;
    std::int64_t next; // the pts of the next frame: the video has every one before
    // Until its first frame, what the muxer writes is held here, and the
    // file left as it was: the header alone would not play.
    bool holding;
    std::vector<std::uint8_t> held;
    off_t whole; // the file's length after the last packet written whole
};
video out;

bool readArguments(int argc, char **argv, failure &why)
{
    char end;
    if (argc == 4 && std::sscanf(argv[1], "%ux%u%c", &out.width, &out.height, &end) == 2 &&
        out.width > 0 && out.width <= picture_side_limit && out.height > 0 &&
        out.height <= picture_side_limit && std::sscanf(argv[2], "%d%c", &out.rate, &end) == 1 &&
        out.rate > 0 && out.rate <= 1000) {
        out.path = argv[3];
        out.kind_index = videoKind(out.path);
        if (out.kind_index >= 0 && videoSizeTaken(out.kind_index, out.width, out.height)) {
            out.made = &kinds[out.kind_index];
            return true;
        }
    }
    return fail(why, 2, "the video encoder was started with arguments it does not take");
}

// The file the viewer opened for it, as the user the run is for: a
// regular file open for writing, or it is not the viewer that started it.
bool takeFile(failure &why)
{
    struct stat file;
    if (fileStat(file_fd, file) != 0 || !S_ISREG(file.st_mode) ||
        (fcntl(file_fd, F_GETFL) & O_ACCMODE) != O_WRONLY)
        return fail(why, 2, "the video encoder was not handed a file to write");
    return true;
}

// The muxer writes through the file it was handed, never by a path.
int writeFile(void *, std::uint8_t *bytes, int size)
{
    if (out.holding) {
        out.held.insert(out.held.end(), bytes, bytes + size);
        return size;
    }
    for (int done = 0; done < size;) {
        const ssize_t written = write(file_fd, bytes + done, static_cast<std::size_t>(size - done));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return AVERROR(written < 0 ? errno : EIO);
        done += static_cast<int>(written);
    }
    return size;
}

std::int64_t seekFile(void *, std::int64_t offset, int whence)
{
    // Only a finished file is gone back over.
    if (out.holding)
        return whence == AVSEEK_SIZE ? static_cast<std::int64_t>(out.held.size()) : AVERROR(ESPIPE);
    if (whence == AVSEEK_SIZE) {
        struct stat file;
        return fileStat(file_fd, file) == 0 ? file.st_size : AVERROR(errno);
    }
    const off_t at = lseek(file_fd, offset, whence & ~AVSEEK_FORCE);
    return at < 0 ? AVERROR(errno) : at;
}

// The encoder's settings: quick, one thread (the box starts none), a key
// frame a second, so a file cut off loses a second at most.
void tune(AVDictionary *&options)
{
    switch (out.made->codec) {
    case AV_CODEC_ID_H264:
        av_dict_set(&options, "preset", "veryfast", 0);
        // No look-ahead: each frame's packet comes out as it goes in, and
        // is in the file by the end of its second.
        av_dict_set(&options, "tune", "zerolatency", 0);
        av_dict_set(&options, "crf", "20", 0);
        // Frames out of order would start a fragmented MP4 late: it has no
        // edit list to shift them back.
        av_dict_set(&options, "bf", "0", 0);
        break;
    case AV_CODEC_ID_VP9:
        av_dict_set(&options, "deadline", "realtime", 0);
        av_dict_set(&options, "cpu-used", "8", 0);
        av_dict_set(&options, "crf", "32", 0);
        av_dict_set(&options, "b", "0", 0);
        av_dict_set(&options, "lag-in-frames", "0", 0);
        break;
    default:
        av_dict_set(&options, "level", "3", 0);
        break;
    }
}

bool startVideo(failure &why)
{
    const char *step = "choosing the container";
    int result = avformat_alloc_output_context2(&out.format, nullptr, out.made->muxer, nullptr);
    const AVCodec *encoder = result >= 0 ? avcodec_find_encoder(out.made->codec) : nullptr;
    if (result >= 0 && !(step = "finding the encoder", encoder))
        result = AVERROR_ENCODER_NOT_FOUND;
    if (result >= 0) {
        step = "setting up the encoder";
        out.codec = avcodec_alloc_context3(encoder);
        // The pixels of 4:2:0 video come in pairs of rows and columns: an
        // odd side gets one more, black.
        out.codec->width = static_cast<int>(encodedSide(out.kind_index, out.width));
        out.codec->height = static_cast<int>(encodedSide(out.kind_index, out.height));
        out.codec->pix_fmt = out.made->pixels;
        out.codec->time_base = {1, out.rate};
        out.codec->framerate = {out.rate, 1};
        out.repeats_packets = out.made->codec == AV_CODEC_ID_FFV1;
        out.codec->gop_size = out.repeats_packets ? 1 : out.rate;
        out.codec->thread_count = 1;
        if (out.format->oformat->flags & AVFMT_GLOBALHEADER)
            out.codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        AVDictionary *options = nullptr;
        tune(options);
        result = avcodec_open2(out.codec, encoder, &options);
        av_dict_free(&options);
    }
    if (result >= 0) {
        step = "setting up the container";
        out.stream = avformat_new_stream(out.format, nullptr);
        result = out.stream ? avcodec_parameters_from_context(out.stream->codecpar, out.codec)
                            : AVERROR(ENOMEM);
    }
    if (result >= 0) {
        out.stream->time_base = out.codec->time_base;
        out.stream->avg_frame_rate = out.stream->r_frame_rate = {out.rate, 1};
        constexpr int buffer_size = 1 << 16;
        auto *buffer = static_cast<unsigned char *>(av_malloc(buffer_size));
        out.format->pb =
            avio_alloc_context(buffer, buffer_size, 1, nullptr, nullptr, writeFile, seekFile);
        out.format->flags |= AVFMT_FLAG_CUSTOM_IO | AVFMT_FLAG_FLUSH_PACKETS;
        out.format->flush_packets = 1;
    }
    if (result >= 0) {
        step = "setting up the frames";
        out.frame = av_frame_alloc();
        out.packet = av_packet_alloc();
        out.last = av_packet_alloc();
        out.frame->format = out.codec->pix_fmt;
        out.frame->width = out.codec->width;
        out.frame->height = out.codec->height;
        result = av_frame_get_buffer(out.frame, 0);
        const std::ptrdiff_t strides[4] = {out.frame->linesize[0], out.frame->linesize[1],
                                           out.frame->linesize[2], out.frame->linesize[3]};
        if (result >= 0)
            av_image_fill_black(out.frame->data, strides, out.codec->pix_fmt, AVCOL_RANGE_MPEG,
                                out.codec->width, out.codec->height);
        out.scale = sws_getContext(static_cast<int>(out.width), static_cast<int>(out.height),
                                   AV_PIX_FMT_RGB24, static_cast<int>(out.width),
                                   static_cast<int>(out.height), out.codec->pix_fmt, SWS_POINT,
                                   nullptr, nullptr, nullptr);
        if (result >= 0 && !out.scale)
            result = AVERROR(EINVAL);
    }
    if (result >= 0)
        return true;
    char cause[AV_ERROR_MAX_STRING_SIZE];
    av_strerror(result, cause, sizeof cause);
    return fail(why, 1, "cannot write the video %s (%s): %s", out.path, step, cause);
}

// At the viewer's word, once nothing is left to refuse the run: the
// container's header, held until the first frame. False with why.
bool beginFile(failure &why)
{
    // Written as it goes: MP4 in fragments of a second, Matroska and WebM
    // in clusters of a second or a MiB, whichever comes first.
    AVDictionary *options = nullptr;
    av_dict_set(&options, "movflags", "frag_keyframe+empty_moov+default_base_moof", 0);
    av_dict_set(&options, "frag_duration", "1000000", 0);
    av_dict_set(&options, "cluster_time_limit", "1000", 0);
    av_dict_set(&options, "cluster_size_limit", "1048576", 0);
    out.holding = true;
    const int result = avformat_write_header(out.format, &options);
    av_dict_free(&options);
    if (result >= 0)
        return true;
    char cause[AV_ERROR_MAX_STRING_SIZE];
    av_strerror(result, cause, sizeof cause);
    return fail(why, 1, "cannot write the video %s: %s", out.path, cause);
}

// After the muxer has written (result): the file's length, whole so far;
// or, when a write failed (a full disk), the file cut back to it, so that no
// part of a fragment or block is left behind, and why.
bool keptWhole(int result, failure &why)
{
    if (result >= 0)
        result = out.format->pb->error;
    if (result >= 0 && out.holding)
        return true;
    if (struct stat file; result >= 0 && fileStat(file_fd, file) == 0) {
        out.whole = file.st_size;
        return true;
    }
    if (ftruncate(file_fd, out.whole) != 0) {
    }
    char cause[AV_ERROR_MAX_STRING_SIZE];
    av_strerror(result, cause, sizeof cause);
    return fail(why, 1, "cannot write the video %s: %s", out.path, cause);
}

bool writePackets(failure &why)
{
    for (int got; (got = avcodec_receive_packet(out.codec, out.packet)) >= 0;) {
        av_packet_rescale_ts(out.packet, out.codec->time_base, out.stream->time_base);
        out.packet->stream_index = 0;
        if (out.repeats_packets) {
            av_packet_unref(out.last);
            if (av_packet_ref(out.last, out.packet) < 0)
                return fail(why, 1, "cannot write the video %s: %s", out.path,
                            std::strerror(ENOMEM));
        }
        if (!keptWhole(av_interleaved_write_frame(out.format, out.packet), why))
            return false;
    }
    return true;
}

// The frame in hand, as the frame at pts.
bool encodeAt(std::int64_t pts, failure &why)
{
    out.frame->pts = pts;
    return avcodec_send_frame(out.codec, out.frame) >= 0 && writePackets(why);
}

// The frame in hand again at every pts before until: the picture stood
// still. Frames come at a constant rate, stills included.
bool repeatUntil(std::int64_t until, failure &why)
{
    for (; out.next < until; ++out.next) {
        if (!out.repeats_packets || !out.last->data) {
            if (!encodeAt(out.next, why))
                return false;
            continue;
        }
        if (av_packet_ref(out.packet, out.last) < 0)
            return fail(why, 1, "cannot write the video %s: %s", out.path, std::strerror(ENOMEM));
        out.packet->pts = out.packet->dts =
            av_rescale_q(out.next, out.codec->time_base, out.stream->time_base);
        if (!keptWhole(av_interleaved_write_frame(out.format, out.packet), why))
            return false;
    }
    return true;
}

// What the muxer has goes into the file now, as a fragment or cluster of
// its own. The first time, the file as it was until now is truncated, and
// the header and the first frames written in one go: a file cut off at any
// moment is as it was, or plays.
bool writeOut(failure &why)
{
    if (!keptWhole(av_write_frame(out.format, nullptr), why))
        return false;
    if (!out.holding)
        return true;
    avio_flush(out.format->pb);
    out.holding = false;
    const int result = ftruncate(file_fd, 0) != 0
                           ? AVERROR(errno)
                           : writeFile(nullptr, out.held.data(), static_cast<int>(out.held.size()));
    out.held = {};
    return keptWhole(std::min(result, 0), why);
}

// A still picture told: its frames go into the file now, so a run killed
// while it stands keeps them.
bool keepStill(std::int64_t until, failure &why)
{
    return repeatUntil(until, why) && writeOut(why);
}

// A new picture, from pts on.
bool encode(const unsigned char *pixels, std::int64_t pts, failure &why)
{
    if (!repeatUntil(pts, why))
        return false;
    // The GL's rows come bottom first.
    const int row = static_cast<int>(out.width) * 3;
    const std::uint8_t *from[] = {pixels + static_cast<std::size_t>(row) * (out.height - 1)};
    const int stride[] = {-row};
    if (av_frame_make_writable(out.frame) < 0)
        return fail(why, 1, "cannot write the video %s: %s", out.path, std::strerror(ENOMEM));
    sws_scale(out.scale, from, stride, 0, static_cast<int>(out.height), out.frame->data,
              out.frame->linesize);
    out.next = pts + 1;
    return encodeAt(pts, why) && (!out.holding || writeOut(why));
}

// The frames the codec holds back, then the container's end; a viewer
// gone before the first frame leaves the file as it was. False with why.
bool finish(failure &why)
{
    if (out.holding && out.next == 0)
        return true;
    if ((avcodec_send_frame(out.codec, nullptr) >= 0 && !writePackets(why)) ||
        (out.holding && !writeOut(why)))
        return false;
    const int result = av_write_trailer(out.format);
    avio_flush(out.format->pb);
    return keptWhole(result, why);
}

// Why it cannot start or go on goes to the viewer, which says it as its
// own.
__attribute__((noreturn)) void failVideo(const failure &why)
{
    sendRecord(channel_descriptor, record_kind::failed, failed_fields{{}, why.status, 0}, why.why,
               strnlen(why.why, 4096));
    _exit(why.status);
}

// The viewer's next record: the word to begin, then frames (with pixels)
// and stills (without: pixels is -1), each at a pts. False once the viewer
// has gone.
bool takeFrame(std::uint8_t &state, std::int64_t &pts, int &pixels)
{
    std::uint64_t bytes;
    const record_header *taken = takeFromViewer(encoder_channel, state, pixels, bytes);
    if (!taken || taken->kind == record_kind::begin)
        return taken;
    if (taken->kind == record_kind::still) {
        pts = fieldsOf<still_fields>(*taken).pts;
        return true;
    }
    const auto &asked = fieldsOf<frame_fields>(*taken);
    // Anything else is no frame the viewer could send: it is not itself.
    if (asked.width != out.width || asked.height != out.height ||
        bytes != std::uint64_t{out.width} * out.height * 3)
        _exit(1);
    pts = asked.pts;
    return true;
}

__attribute__((noreturn)) void serveFrames()
{
    static failure why;
    std::vector<unsigned char> pixels(std::size_t{out.width} * out.height * 3);
    std::uint8_t state = encoder_waiting;
    std::int64_t pts;
    // The viewer's word to begin: a viewer that ends before it leaves the
    // file as it was.
    int from = -1;
    if (!takeFrame(state, pts, from))
        _exit(0);
    if (state != encoder_encoding)
        _exit(1);
    if (!beginFile(why))
        failVideo(why);
    // The header written and the codec open: the viewer may go on.
    if (!sendRecord(channel_descriptor, record_kind::started, no_fields{}))
        _exit(0);
    while (takeFrame(state, pts, from)) {
        // Frames come in the order of their times.
        const bool still = from < 0;
        if (pts < out.next || (!still && !readPixels(from, pixels)))
            _exit(1);
        if (!still)
            close(from);
        if (!(still ? keepStill(pts, why) : encode(pixels.data(), pts, why))) {
            static failure ending;
            finish(ending);
            failVideo(why);
        }
        // A viewer that has gone no longer hears of it; the frames it sent
        // before are encoded all the same.
        if (!still)
            sendRecord(channel_descriptor, record_kind::done, no_fields{});
    }
    if (!finish(why))
        failVideo(why);
    _exit(0);
}

constexpr std::uint32_t allow = SCMP_ACT_ALLOW;
constexpr scmp_arg_cmp on_channel{0, SCMP_CMP_EQ, channel_descriptor, 0};
constexpr scmp_arg_cmp on_file{0, SCMP_CMP_EQ, file_fd, 0};

// What taking frames, encoding them and writing the file need, beside
// every child's base, and no more: no open at all, no thread.
const rule allowed[] = {
    {allow, SCMP_SYS(recvmsg), 1, {on_channel}},
    {allow, SCMP_SYS(pread64)},
    {allow, SCMP_SYS(write)},
    {allow, SCMP_SYS(writev), 1, {on_channel}},
    {allow, SCMP_SYS(lseek), 1, {on_file}},
    {allow, SCMP_SYS(ftruncate), 1, {on_file}},
    {allow, SCMP_SYS(madvise)},
    {allow, SCMP_SYS(futex)},
    {SCMP_ACT_ERRNO(EACCES), SCMP_SYS(openat)},
};

const child_program encoder{
    .name = "video encoder",
    .who = identity::unprivileged,
    .read = readArguments,
    .acquire = takeFile,
    .prepare = startVideo,
    .allowed = allowed,
    .changes = {},
    .refused = nullptr,
    .speaks = false,
    .finishes = true,
    .handed = true,
    .fail = failVideo,
    .serve = serveFrames,
};

} // namespace

int main(int argc, char **argv)
{
    // Its errors come back as codes, which the viewer is told of.
    av_log_set_level(AV_LOG_QUIET);
    runChild(encoder, argc, argv);
}
