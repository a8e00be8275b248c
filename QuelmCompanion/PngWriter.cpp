#include "QuelmCompanion/PngWriter.hpp"

#include <cstdio>
#include <filesystem>
#include <fstream>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

namespace quelm::PngWriter {

bool write(const AVFrame& picture, const std::string& path) {
    const AVCodec* png = avcodec_find_encoder(AV_CODEC_ID_PNG);
    if (png == nullptr || picture.width <= 0 || picture.height <= 0) {
        return false;
    }
    AVCodecContext* context = avcodec_alloc_context3(png);
    AVFrame* rgb = av_frame_alloc();
    AVPacket* packet = av_packet_alloc();
    SwsContext* scaler = sws_getContext(
        picture.width, picture.height, static_cast<AVPixelFormat>(picture.format), picture.width,
        picture.height, AV_PIX_FMT_RGB24, SWS_POINT, nullptr, nullptr, nullptr);
    bool ok = false;
    if (context != nullptr && rgb != nullptr && packet != nullptr && scaler != nullptr) {
        // The host sends BT.709 video range; follow the stream where it says otherwise.
        bool bt601 =
            picture.colorspace == AVCOL_SPC_BT470BG || picture.colorspace == AVCOL_SPC_SMPTE170M;
        const int* coefficients = sws_getCoefficients(bt601 ? SWS_CS_ITU601 : SWS_CS_ITU709);
        int sourceFullRange = picture.color_range == AVCOL_RANGE_JPEG ? 1 : 0;
        sws_setColorspaceDetails(scaler, coefficients, sourceFullRange, coefficients, 1, 0, 1 << 16,
                                 1 << 16);
        rgb->format = AV_PIX_FMT_RGB24;
        rgb->width = picture.width;
        rgb->height = picture.height;
        context->width = picture.width;
        context->height = picture.height;
        context->pix_fmt = AV_PIX_FMT_RGB24;
        context->time_base = AVRational{1, 25};
        if (av_frame_get_buffer(rgb, 0) >= 0 &&
            sws_scale(scaler, picture.data, picture.linesize, 0, picture.height, rgb->data,
                      rgb->linesize) == picture.height &&
            avcodec_open2(context, png, nullptr) >= 0 && avcodec_send_frame(context, rgb) >= 0 &&
            avcodec_receive_packet(context, packet) >= 0) {
            std::string temporary = path + ".part";
            {
                std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
                out.write(reinterpret_cast<const char*>(packet->data), packet->size);
                ok = static_cast<bool>(out);
            }
            std::error_code error;
            if (ok) {
                std::filesystem::rename(temporary, path, error);
                ok = !error;
            }
            if (!ok) {
                std::filesystem::remove(temporary, error);
            }
        }
    }
    sws_freeContext(scaler);
    av_packet_free(&packet);
    av_frame_free(&rgb);
    avcodec_free_context(&context);
    return ok;
}

}  // namespace quelm::PngWriter
