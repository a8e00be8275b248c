#include "QuelmHostKit/streaming/Nv12Converter.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define QUELM_AVX2 __attribute__((target("avx2")))
#endif

namespace quelm {

namespace {

constexpr int kWeightBits = 14;
constexpr std::int32_t kWeightOne = 1 << kWeightBits;
// Vertical sums keep this many fractional bits: at most 255 << 7, a signed 16-bit number.
constexpr int kColumnBits = 7;

// BT.709, video range, in units of 1/65536; each chroma row sums to zero so grey stays at 128.
constexpr std::int32_t kYR = 11966, kYG = 40254, kYB = 4064;
constexpr std::int32_t kCbR = -6596, kCbG = -22188, kCbB = 28784;
constexpr std::int32_t kCrR = 28784, kCrG = -26145, kCrB = -2639;

inline std::uint8_t lumaOf(const std::uint8_t* bgrx) {
    return static_cast<std::uint8_t>(
        (kYR * bgrx[2] + kYG * bgrx[1] + kYB * bgrx[0] + (16 << 16) + (1 << 15)) >> 16);
}

// Chroma of a 2x2 block from the sums of its four pixels.
inline void chromaOf(std::int32_t b, std::int32_t g, std::int32_t r, std::uint8_t* cbcr) {
    constexpr std::int32_t offset = (128 << 18) + (1 << 17);
    cbcr[0] = static_cast<std::uint8_t>((kCbR * r + kCbG * g + kCbB * b + offset) >> 18);
    cbcr[1] = static_cast<std::uint8_t>((kCrR * r + kCrG * g + kCrB * b + offset) >> 18);
}

#if defined(__SSE2__)
// Four BGRX pixels as two 16-bit halves of each 32-bit number: blue and red, green and the
// unused byte.
struct Channels4 {
    __m128i blueRed;
    __m128i greenX;
};

inline Channels4 channelsOf4(const std::uint8_t* bgrx) {
    const __m128i pixels = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bgrx));
    const __m128i lowBytes = _mm_set1_epi32(0x00FF00FF);
    return {_mm_and_si128(pixels, lowBytes), _mm_and_si128(_mm_srli_epi32(pixels, 8), lowBytes)};
}

// Luma of four pixels as 32-bit numbers, exactly as lumaOf: green's factor does not fit a signed
// 16-bit number, its half does.
static_assert(kYG % 2 == 0);
inline __m128i lumaOf4(const Channels4& c) {
    const __m128i blueRed = _mm_madd_epi16(c.blueRed, _mm_set1_epi32((kYR << 16) | kYB));
    const __m128i green = _mm_slli_epi32(_mm_madd_epi16(c.greenX, _mm_set1_epi32(kYG / 2)), 1);
    const __m128i y =
        _mm_add_epi32(_mm_add_epi32(blueRed, green), _mm_set1_epi32((16 << 16) + (1 << 15)));
    return _mm_srli_epi32(y, 16);
}

// Cb or Cr of four 2x2 blocks from their sums of blue and red and of green, exactly as chromaOf.
inline __m128i chromaOf4(const Channels4& sums, std::int32_t fromBlue, std::int32_t fromRed,
                         std::int32_t fromGreen) {
    constexpr std::int32_t offset = (128 << 18) + (1 << 17);
    const auto pair = static_cast<std::int32_t>(static_cast<std::uint32_t>(fromRed) << 16 |
                                                static_cast<std::uint16_t>(fromBlue));
    const __m128i sum = _mm_add_epi32(
        _mm_madd_epi16(sums.blueRed, _mm_set1_epi32(pair)),
        _mm_madd_epi16(sums.greenX, _mm_set1_epi32(static_cast<std::uint16_t>(fromGreen))));
    return _mm_srai_epi32(_mm_add_epi32(sum, _mm_set1_epi32(offset)), 18);
}

// The sums of each column pair of `a` then `b` (four pixels each). The 16-bit halves stay at
// most 4 x 255, so 32-bit adds keep them apart.
inline __m128i pairSums(__m128i a, __m128i b) {
    const __m128 fa = _mm_castsi128_ps(a);
    const __m128 fb = _mm_castsi128_ps(b);
    return _mm_add_epi32(_mm_castps_si128(_mm_shuffle_ps(fa, fb, _MM_SHUFFLE(2, 0, 2, 0))),
                         _mm_castps_si128(_mm_shuffle_ps(fa, fb, _MM_SHUFFLE(3, 1, 3, 1))));
}

// Sixteen columns of two rows: sixteen luma bytes of each row (the bottom one unless null) and
// eight interleaved Cb/Cr pairs.
inline void convert16(const std::uint8_t* top, const std::uint8_t* bottom, std::uint8_t* lumaTop,
                      std::uint8_t* lumaBottom, std::uint8_t* chroma) {
    Channels4 a[4];
    Channels4 b[4];
    Channels4 sums[4];
    for (int i = 0; i < 4; ++i) {
        a[i] = channelsOf4(top + 16 * i);
        b[i] = channelsOf4(bottom + 16 * i);
        sums[i] = {_mm_add_epi16(a[i].blueRed, b[i].blueRed),
                   _mm_add_epi16(a[i].greenX, b[i].greenX)};
    }
    const auto store = [](std::uint8_t* out, const Channels4* c) {
        const __m128i low = _mm_packs_epi32(lumaOf4(c[0]), lumaOf4(c[1]));
        const __m128i high = _mm_packs_epi32(lumaOf4(c[2]), lumaOf4(c[3]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(low, high));
    };
    store(lumaTop, a);
    if (lumaBottom) {
        store(lumaBottom, b);
    }
    const Channels4 blocks[2] = {
        {pairSums(sums[0].blueRed, sums[1].blueRed), pairSums(sums[0].greenX, sums[1].greenX)},
        {pairSums(sums[2].blueRed, sums[3].blueRed), pairSums(sums[2].greenX, sums[3].greenX)}};
    const __m128i cb = _mm_packs_epi32(chromaOf4(blocks[0], kCbB, kCbR, kCbG),
                                       chromaOf4(blocks[1], kCbB, kCbR, kCbG));
    const __m128i cr = _mm_packs_epi32(chromaOf4(blocks[0], kCrB, kCrR, kCrG),
                                       chromaOf4(blocks[1], kCrB, kCrR, kCrG));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(chroma),
                     _mm_packus_epi16(_mm_unpacklo_epi16(cb, cr), _mm_unpackhi_epi16(cb, cr)));
}
#endif

#if defined(QUELM_AVX2)
// The SSE2 blocks above twice as wide, where the processor has AVX2. Packs, unpacks and
// shuffles work within each 128-bit half, so the bytes come out in 32-bit groups ordered
// 0, 2, 4, 6, 1, 3, 5, 7 and are put in order before the store.
struct Channels8 {
    __m256i blueRed;
    __m256i greenX;
};

QUELM_AVX2 inline Channels8 channelsOf8(const std::uint8_t* bgrx) {
    const __m256i pixels = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bgrx));
    const __m256i lowBytes = _mm256_set1_epi32(0x00FF00FF);
    return {_mm256_and_si256(pixels, lowBytes),
            _mm256_and_si256(_mm256_srli_epi32(pixels, 8), lowBytes)};
}

QUELM_AVX2 inline __m256i lumaOf8(const Channels8& c) {
    const __m256i blueRed = _mm256_madd_epi16(c.blueRed, _mm256_set1_epi32((kYR << 16) | kYB));
    const __m256i green =
        _mm256_slli_epi32(_mm256_madd_epi16(c.greenX, _mm256_set1_epi32(kYG / 2)), 1);
    const __m256i y = _mm256_add_epi32(_mm256_add_epi32(blueRed, green),
                                       _mm256_set1_epi32((16 << 16) + (1 << 15)));
    return _mm256_srli_epi32(y, 16);
}

QUELM_AVX2 inline __m256i chromaOf8(const Channels8& sums, std::int32_t fromBlue,
                                    std::int32_t fromRed, std::int32_t fromGreen) {
    constexpr std::int32_t offset = (128 << 18) + (1 << 17);
    const auto pair = static_cast<std::int32_t>(static_cast<std::uint32_t>(fromRed) << 16 |
                                                static_cast<std::uint16_t>(fromBlue));
    const __m256i sum = _mm256_add_epi32(
        _mm256_madd_epi16(sums.blueRed, _mm256_set1_epi32(pair)),
        _mm256_madd_epi16(sums.greenX, _mm256_set1_epi32(static_cast<std::uint16_t>(fromGreen))));
    return _mm256_srai_epi32(_mm256_add_epi32(sum, _mm256_set1_epi32(offset)), 18);
}

QUELM_AVX2 inline __m256i pairSums8(__m256i a, __m256i b) {
    const __m256 fa = _mm256_castsi256_ps(a);
    const __m256 fb = _mm256_castsi256_ps(b);
    return _mm256_add_epi32(
        _mm256_castps_si256(_mm256_shuffle_ps(fa, fb, _MM_SHUFFLE(2, 0, 2, 0))),
        _mm256_castps_si256(_mm256_shuffle_ps(fa, fb, _MM_SHUFFLE(3, 1, 3, 1))));
}

QUELM_AVX2 inline void storeInOrder(std::uint8_t* out, __m256i groups) {
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                        _mm256_permutevar8x32_epi32(groups, order));
}

// Thirty-two luma bytes, in groups of four ordered as above.
QUELM_AVX2 inline __m256i lumaOf32(const Channels8* c) {
    return _mm256_packus_epi16(_mm256_packs_epi32(lumaOf8(c[0]), lumaOf8(c[1])),
                               _mm256_packs_epi32(lumaOf8(c[2]), lumaOf8(c[3])));
}

// Blocks of thirty-two columns of two rows; returns the columns done.
QUELM_AVX2 int convertBlocksAvx2(const std::uint8_t* top, const std::uint8_t* bottom, int width,
                                 std::uint8_t* lumaTop, std::uint8_t* lumaBottom,
                                 std::uint8_t* chroma) {
    int x = 0;
    for (; x + 32 <= width; x += 32) {
        Channels8 a[4];
        Channels8 b[4];
        Channels8 sums[4];
        for (int i = 0; i < 4; ++i) {
            a[i] = channelsOf8(top + 4 * static_cast<std::size_t>(x) + 32 * i);
            b[i] = channelsOf8(bottom + 4 * static_cast<std::size_t>(x) + 32 * i);
            sums[i] = {_mm256_add_epi16(a[i].blueRed, b[i].blueRed),
                       _mm256_add_epi16(a[i].greenX, b[i].greenX)};
        }
        storeInOrder(lumaTop + x, lumaOf32(a));
        if (lumaBottom) {
            storeInOrder(lumaBottom + x, lumaOf32(b));
        }
        const Channels8 blocks[2] = {{pairSums8(sums[0].blueRed, sums[1].blueRed),
                                      pairSums8(sums[0].greenX, sums[1].greenX)},
                                     {pairSums8(sums[2].blueRed, sums[3].blueRed),
                                      pairSums8(sums[2].greenX, sums[3].greenX)}};
        const __m256i cb = _mm256_packs_epi32(chromaOf8(blocks[0], kCbB, kCbR, kCbG),
                                              chromaOf8(blocks[1], kCbB, kCbR, kCbG));
        const __m256i cr = _mm256_packs_epi32(chromaOf8(blocks[0], kCrB, kCrR, kCrG),
                                              chromaOf8(blocks[1], kCrB, kCrR, kCrG));
        storeInOrder(chroma + x, _mm256_packus_epi16(_mm256_unpacklo_epi16(cb, cr),
                                                     _mm256_unpackhi_epi16(cb, cr)));
    }
    return x;
}

const bool hasAvx2 = __builtin_cpu_supports("avx2");
#endif

// Two rows of BGRX pixels become two luma rows and one row of interleaved Cb/Cr. For the last
// row of an odd height, `bottom` is `top` and `lumaBottom` is null. AVX2 takes thirty-two
// columns at a time, SSE2 sixteen, with the same integer arithmetic as the plain loops that
// finish the row.
void convertRowPair(const std::uint8_t* top, const std::uint8_t* bottom, int width,
                    std::uint8_t* lumaTop, std::uint8_t* lumaBottom, std::uint8_t* chroma) {
    int x = 0;
#if defined(QUELM_AVX2)
    if (hasAvx2) {
        x = convertBlocksAvx2(top, bottom, width, lumaTop, lumaBottom, chroma);
    }
#endif
#if defined(__SSE2__)
    for (; x + 16 <= width; x += 16) {
        convert16(top + 4 * static_cast<std::size_t>(x), bottom + 4 * static_cast<std::size_t>(x),
                  lumaTop + x, lumaBottom ? lumaBottom + x : nullptr, chroma + x);
    }
#endif
    for (; x + 2 <= width; x += 2) {
        const std::uint8_t* a = top + 4 * static_cast<std::size_t>(x);
        const std::uint8_t* b = bottom + 4 * static_cast<std::size_t>(x);
        lumaTop[x] = lumaOf(a);
        lumaTop[x + 1] = lumaOf(a + 4);
        if (lumaBottom) {
            lumaBottom[x] = lumaOf(b);
            lumaBottom[x + 1] = lumaOf(b + 4);
        }
        chromaOf(a[0] + a[4] + b[0] + b[4], a[1] + a[5] + b[1] + b[5], a[2] + a[6] + b[2] + b[6],
                 chroma + x);
    }
    if (x < width) {
        // The last column pairs with itself.
        const std::uint8_t* a = top + 4 * static_cast<std::size_t>(x);
        const std::uint8_t* b = bottom + 4 * static_cast<std::size_t>(x);
        lumaTop[x] = lumaOf(a);
        if (lumaBottom) {
            lumaBottom[x] = lumaOf(b);
        }
        chromaOf(2 * (a[0] + b[0]), 2 * (a[1] + b[1]), 2 * (a[2] + b[2]), chroma + x);
    }
}

// Combines source rows (BGRX bytes, `taps` of them, an even number) into one row of columns
// with kColumnBits fractional bits. SSE2 multiplies and adds two rows at a time.
void combineRows(const std::uint8_t* const* lines, const std::int16_t* weights, int taps, int count,
                 std::int16_t* out) {
    constexpr int shift = kWeightBits - kColumnBits;
    int x = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    for (; x + 16 <= count; x += 16) {
        __m128i acc[4];
        for (auto& a : acc) {
            a = _mm_set1_epi32(1 << (shift - 1));
        }
        for (int k = 0; k < taps; k += 2) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(lines[k] + x));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(lines[k + 1] + x));
            const __m128i pair = _mm_set1_epi32(static_cast<std::uint16_t>(weights[k]) |
                                                (static_cast<std::uint32_t>(weights[k + 1]) << 16));
            const __m128i low = _mm_unpacklo_epi8(a, b);
            const __m128i high = _mm_unpackhi_epi8(a, b);
            acc[0] = _mm_add_epi32(acc[0], _mm_madd_epi16(_mm_unpacklo_epi8(low, zero), pair));
            acc[1] = _mm_add_epi32(acc[1], _mm_madd_epi16(_mm_unpackhi_epi8(low, zero), pair));
            acc[2] = _mm_add_epi32(acc[2], _mm_madd_epi16(_mm_unpacklo_epi8(high, zero), pair));
            acc[3] = _mm_add_epi32(acc[3], _mm_madd_epi16(_mm_unpackhi_epi8(high, zero), pair));
        }
        _mm_storeu_si128(
            reinterpret_cast<__m128i*>(out + x),
            _mm_packs_epi32(_mm_srai_epi32(acc[0], shift), _mm_srai_epi32(acc[1], shift)));
        _mm_storeu_si128(
            reinterpret_cast<__m128i*>(out + x + 8),
            _mm_packs_epi32(_mm_srai_epi32(acc[2], shift), _mm_srai_epi32(acc[3], shift)));
    }
#endif
    for (; x < count; ++x) {
        std::int32_t sum = 1 << (shift - 1);
        for (int k = 0; k < taps; ++k) {
            sum += weights[k] * lines[k][x];
        }
        out[x] = static_cast<std::int16_t>(sum >> shift);
    }
}

// One output row of BGRX from the vertically combined columns. Filters have an even number of
// taps, so that SSE2 multiplies and adds two taps of all four channels in one instruction.
// `Taps` fixed at compile time (0: given by `taps`) lets the common filters unroll.
template <int Taps>
void resampleRow(const std::int16_t* columns, const int* first, const std::int16_t* weights,
                 int taps, int outputWidth, std::uint8_t* row) {
    constexpr int shift = kWeightBits + kColumnBits;
    if constexpr (Taps > 0) {
        taps = Taps;
    }
    for (int i = 0; i < outputWidth; ++i) {
        const std::int16_t* in = columns + static_cast<std::size_t>(first[i]) * 4;
        const std::int16_t* w = weights + static_cast<std::size_t>(i) * taps;
#if defined(__SSE2__)
        __m128i acc = _mm_set1_epi32(1 << (shift - 1));
        for (int k = 0; k < taps; k += 2) {
            const __m128i pixels = _mm_unpacklo_epi16(
                _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + 4 * k)),
                _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + 4 * k + 4)));
            const __m128i pair = _mm_set1_epi32(static_cast<std::uint16_t>(w[k]) |
                                                (static_cast<std::uint32_t>(w[k + 1]) << 16));
            acc = _mm_add_epi32(acc, _mm_madd_epi16(pixels, pair));
        }
        const __m128i narrow = _mm_packs_epi32(_mm_srai_epi32(acc, shift), acc);
        const int bgrx = _mm_cvtsi128_si32(_mm_packus_epi16(narrow, narrow));
        std::memcpy(row + 4 * i, &bgrx, 4);
#else
        std::int32_t acc[4] = {1 << (shift - 1), 1 << (shift - 1), 1 << (shift - 1),
                               1 << (shift - 1)};
        for (int k = 0; k < taps; ++k) {
            for (int c = 0; c < 4; ++c) {
                acc[c] += w[k] * in[4 * k + c];
            }
        }
        for (int c = 0; c < 4; ++c) {
            row[4 * i + c] = static_cast<std::uint8_t>(acc[c] >> shift);
        }
#endif
    }
}

void resampleRowAnyTaps(const std::int16_t* columns, const int* first, const std::int16_t* weights,
                        int taps, int outputWidth, std::uint8_t* row) {
    switch (taps) {
        case 2:
            return resampleRow<2>(columns, first, weights, taps, outputWidth, row);
        case 4:
            return resampleRow<4>(columns, first, weights, taps, outputWidth, row);
        case 6:
            return resampleRow<6>(columns, first, weights, taps, outputWidth, row);
        default:
            return resampleRow<0>(columns, first, weights, taps, outputWidth, row);
    }
}

}  // namespace

Nv12Converter::Filter Nv12Converter::makeFilter(int sourceSize, int outputSize) {
    Filter filter;
    filter.sourceSize = sourceSize;
    filter.outputSize = outputSize;
    const double scale = static_cast<double>(sourceSize) / outputSize;
    const double support = std::max(scale, 1.0);

    std::vector<std::vector<double>> taps(outputSize);
    for (int i = 0; i < outputSize; ++i) {
        const double center = (i + 0.5) * scale - 0.5;
        const int low = static_cast<int>(std::floor(center - support)) + 1;
        const int high = static_cast<int>(std::ceil(center + support)) - 1;
        // Positions outside the picture repeat its edge.
        const int first = std::clamp(low, 0, sourceSize - 1);
        const int last = std::clamp(high, 0, sourceSize - 1);
        std::vector<double> weights(last - first + 1, 0.0);
        for (int j = low; j <= high; ++j) {
            weights[std::clamp(j, 0, sourceSize - 1) - first] +=
                std::max(0.0, 1.0 - std::abs(j - center) / support);
        }
        // Drop zero taps at both ends.
        int begin = 0;
        int end = static_cast<int>(weights.size());
        while (end - begin > 1 && weights[begin] <= 0.0) {
            ++begin;
        }
        while (end - begin > 1 && weights[end - 1] <= 0.0) {
            --end;
        }
        filter.first.push_back(first + begin);
        taps[i].assign(weights.begin() + begin, weights.begin() + end);
        filter.taps = std::max(filter.taps, end - begin);
    }

    filter.taps += filter.taps % 2;  // even, for the paired multiply-add
    filter.reach = sourceSize;
    for (int start : filter.first) {
        filter.reach = std::max(filter.reach, start + filter.taps);
    }
    filter.weights.assign(static_cast<std::size_t>(outputSize) * filter.taps, 0);
    for (int i = 0; i < outputSize; ++i) {
        double total = 0;
        for (double w : taps[i]) {
            total += w;
        }
        std::int16_t* out = &filter.weights[static_cast<std::size_t>(i) * filter.taps];
        std::int32_t sum = 0;
        std::size_t largest = 0;
        for (std::size_t k = 0; k < taps[i].size(); ++k) {
            out[k] = static_cast<std::int16_t>(std::lround(taps[i][k] / total * kWeightOne));
            sum += out[k];
            if (out[k] > out[largest]) {
                largest = k;
            }
        }
        out[largest] = static_cast<std::int16_t>(out[largest] + kWeightOne - sum);  // sum is one
    }
    return filter;
}

void Nv12Converter::scaleRow(const BgraImage& source, int outputRow, std::uint8_t* row) {
    // Vertical pass over whole source rows, then the horizontal one. Padding taps (weight
    // zero) read the last row again rather than past the picture.
    const int first = vertical_.first[outputRow];
    for (int k = 0; k < vertical_.taps; ++k) {
        lines_[k] =
            source.pixels +
            static_cast<std::size_t>(std::min(first + k, source.height - 1)) * source.stride;
    }
    combineRows(lines_.data(),
                &vertical_.weights[static_cast<std::size_t>(outputRow) * vertical_.taps],
                vertical_.taps, source.width * 4, columnSums_.data());
    resampleRowAnyTaps(columnSums_.data(), horizontal_.first.data(), horizontal_.weights.data(),
                       horizontal_.taps, horizontal_.outputSize, row);
}

bool Nv12Converter::convert(const BgraImage& source, PixelBuffer& destination) {
    if (!source.pixels || source.width < 1 || source.height < 1 ||
        static_cast<std::int64_t>(source.stride) < static_cast<std::int64_t>(source.width) * 4 ||
        destination.width() < 1 || destination.height() < 1) {
        return false;
    }
    const int width = destination.width();
    const int height = destination.height();
    const bool direct = source.width == width && source.height == height;
    if (!direct) {
        if (horizontal_.sourceSize != source.width || horizontal_.outputSize != width) {
            horizontal_ = makeFilter(source.width, width);
        }
        if (vertical_.sourceSize != source.height || vertical_.outputSize != height) {
            vertical_ = makeFilter(source.height, height);
        }
        lines_.resize(static_cast<std::size_t>(vertical_.taps));
        columnSums_.resize(static_cast<std::size_t>(horizontal_.reach) * 4, 0);
        rows_.resize(static_cast<std::size_t>(width) * 8);
    }

    for (int y = 0; y < height; y += 2) {
        const bool hasBottom = y + 1 < height;
        const std::uint8_t* top;
        const std::uint8_t* bottom;
        if (direct) {
            top = source.pixels + static_cast<std::size_t>(y) * source.stride;
            bottom = hasBottom ? top + source.stride : top;
        } else {
            std::uint8_t* scaled = rows_.data();
            scaleRow(source, y, scaled);
            if (hasBottom) {
                scaleRow(source, y + 1, scaled + static_cast<std::size_t>(width) * 4);
            }
            top = scaled;
            bottom = hasBottom ? scaled + static_cast<std::size_t>(width) * 4 : top;
        }
        const int lumaStride = destination.lumaStride();
        std::uint8_t* luma = destination.luma() + static_cast<std::size_t>(y) * lumaStride;
        convertRowPair(
            top, bottom, width, luma, hasBottom ? luma + lumaStride : nullptr,
            destination.chroma() + static_cast<std::size_t>(y / 2) * destination.chromaStride());
    }
    return true;
}

void Nv12Converter::convertRows(const std::uint8_t* top, const std::uint8_t* bottom, int y,
                                PixelBuffer& destination) {
    const bool hasBottom = y + 1 < destination.height();
    const int lumaStride = destination.lumaStride();
    std::uint8_t* luma = destination.luma() + static_cast<std::size_t>(y) * lumaStride;
    convertRowPair(
        top, hasBottom ? bottom : top, destination.width(), luma,
        hasBottom ? luma + lumaStride : nullptr,
        destination.chroma() + static_cast<std::size_t>(y / 2) * destination.chromaStride());
}

}  // namespace quelm
