// The processor-specific variants of the copy and compositing primitives
// (table entries 2 to 4) and the row kernels behind them. Entry 2 uses MMX
// with the SSE integer extensions, entry 3 SSE2; entry 4 holds the entry-3
// functions, since its processors run the same SSE2 code.
//
// The kernels trust their arguments: the entries have checked them, and they
// give the generic variant's bytes for every input.
#pragma once

#include <cstdint>

#include "ZImagePrimitives.h"

zpStatus zpiCopy_8u_C3R_sse(const std::uint8_t* src, int srcStep, std::uint8_t* dst, int dstStep, zpSize roiSize);
zpStatus zpiCopy_8u_C4R_sse(const std::uint8_t* src, int srcStep, std::uint8_t* dst, int dstStep, zpSize roiSize);
zpStatus zpiAlphaComp_8u_AC4R_sse(const std::uint8_t* src1, int src1Step, const std::uint8_t* src2, int src2Step,
                                  std::uint8_t* dst, int dstStep, zpSize roiSize, std::int32_t alphaType);
zpStatus zpiCopy_8u_C3R_sse2(const std::uint8_t* src, int srcStep, std::uint8_t* dst, int dstStep, zpSize roiSize);
zpStatus zpiCopy_8u_C4R_sse2(const std::uint8_t* src, int srcStep, std::uint8_t* dst, int dstStep, zpSize roiSize);
zpStatus zpiAlphaComp_8u_AC4R_sse2(const std::uint8_t* src1, int src1Step, const std::uint8_t* src2, int src2Step,
                                   std::uint8_t* dst, int dstStep, zpSize roiSize, std::int32_t alphaType);

// Row kernels. Copies: length bytes forward; the SSE2 kernel streams past
// the caches when stream is 1. Compositing: width pixels of the first source
// over (in, out, ...) the second into the destination, which may start at
// either source's address; premultiplied 1 selects the premultiplied rules,
// any other value the straight ones.
void copy8u_rows_sse(const std::uint8_t* src, std::uint8_t* dst, std::int32_t length);
void copy8u_rows_sse2(const std::uint8_t* src, std::uint8_t* dst, std::int32_t length, int stream);

using zpAlphaCompRow = void (*)(const std::uint8_t* src1, const std::uint8_t* src2, std::uint8_t* dst,
                                std::int32_t width, int premultiplied);

void alphaCompOver8u_rows_sse(const std::uint8_t*, const std::uint8_t*, std::uint8_t*, std::int32_t, int);
void alphaCompIn8u_rows_sse(const std::uint8_t*, const std::uint8_t*, std::uint8_t*, std::int32_t, int);
void alphaCompOut8u_rows_sse(const std::uint8_t*, const std::uint8_t*, std::uint8_t*, std::int32_t, int);
void alphaCompAtop8u_rows_sse(const std::uint8_t*, const std::uint8_t*, std::uint8_t*, std::int32_t, int);
void alphaCompXor8u_rows_sse(const std::uint8_t*, const std::uint8_t*, std::uint8_t*, std::int32_t, int);
void alphaCompPlus8u_rows_sse(const std::uint8_t*, const std::uint8_t*, std::uint8_t*, std::int32_t, int);

void alphaCompOver8u_rows_sse2(const std::uint8_t*, const std::uint8_t*, std::uint8_t*, std::int32_t, int);
void alphaCompIn8u_rows_sse2(const std::uint8_t*, const std::uint8_t*, std::uint8_t*, std::int32_t, int);
void alphaCompOut8u_rows_sse2(const std::uint8_t*, const std::uint8_t*, std::uint8_t*, std::int32_t, int);
void alphaCompAtop8u_rows_sse2(const std::uint8_t*, const std::uint8_t*, std::uint8_t*, std::int32_t, int);
void alphaCompXor8u_rows_sse2(const std::uint8_t*, const std::uint8_t*, std::uint8_t*, std::int32_t, int);
void alphaCompPlus8u_rows_sse2(const std::uint8_t*, const std::uint8_t*, std::uint8_t*, std::int32_t, int);
