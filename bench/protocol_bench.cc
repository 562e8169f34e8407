// Envelope and framing throughput, each beside a baseline measured in the same run:
//  - Base64 alone over the same bytes (OpenSSL, no JSON): the floor for any JSON envelope
//    that carries binary data, since the wire format requires Base64;
//  - memcpy of the same stream: the floor for cutting frames out of a byte stream.
// Figures are bytes of payload per second (the file bytes for the download result, the
// frame bytes for the decoder).
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstring>

#include "protocol/base64.h"
#include "protocol/envelope.h"
#include "protocol/frame_codec.h"

namespace lumora::protocol {
namespace {

Bytes fileBytes(std::size_t size) {
  Bytes data(size);
  std::uint32_t x = 2463534242u;
  for (auto& b : data) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<std::uint8_t>(x);
  }
  return data;
}

void BM_PingEncodeDecode(benchmark::State& state) {
  Envelope ping = Envelope::request(PingRequest{});
  for (auto _ : state) {
    Bytes wire = ping.encode();
    auto decoded = Envelope::decode(wire);
    benchmark::DoNotOptimize(decoded);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PingEncodeDecode);

Envelope downloadResult() {
  return Envelope::response(
      MessageID::generate(),
      FileDownloadResult{"/Users/me/Movies/clip.mov", fileBytes(FileTransfer::chunkSize), 262144,
                         10 << 20, false});
}

void BM_DownloadResultEncode(benchmark::State& state) {
  Envelope envelope = downloadResult();
  for (auto _ : state) {
    Bytes wire = envelope.encode();
    benchmark::DoNotOptimize(wire.data());
  }
  state.SetBytesProcessed(state.iterations() * FileTransfer::chunkSize);
}
BENCHMARK(BM_DownloadResultEncode);

void BM_DownloadResultDecode(benchmark::State& state) {
  Bytes wire = downloadResult().encode();
  for (auto _ : state) {
    auto decoded = Envelope::decode(wire);
    benchmark::DoNotOptimize(decoded);
  }
  state.SetBytesProcessed(state.iterations() * FileTransfer::chunkSize);
}
BENCHMARK(BM_DownloadResultDecode);

void BM_DownloadResultEncodeDecode(benchmark::State& state) {
  Envelope envelope = downloadResult();
  for (auto _ : state) {
    auto decoded = Envelope::decode(envelope.encode());
    benchmark::DoNotOptimize(decoded);
  }
  state.SetBytesProcessed(state.iterations() * FileTransfer::chunkSize);
}
BENCHMARK(BM_DownloadResultEncodeDecode);

// Baseline: Base64 encode and decode of the same 256 KiB with OpenSSL, nothing else.
void BM_Baseline_Base64EncodeDecode(benchmark::State& state) {
  Bytes data = fileBytes(FileTransfer::chunkSize);
  std::vector<unsigned char> text(data.size() / 3 * 4 + 8);
  Bytes back(data.size() + 4);
  for (auto _ : state) {
    int n = EVP_EncodeBlock(text.data(), data.data(), static_cast<int>(data.size()));
    int m = EVP_DecodeBlock(back.data(), text.data(), n);
    benchmark::DoNotOptimize(m);
  }
  state.SetBytesProcessed(state.iterations() * FileTransfer::chunkSize);
}
BENCHMARK(BM_Baseline_Base64EncodeDecode);

// Ours over the same 256 KiB: the SSSE3 block coder with OpenSSL for the ends.
void BM_Base64EncodeDecode(benchmark::State& state) {
  Bytes data = fileBytes(FileTransfer::chunkSize);
  for (auto _ : state) {
    auto back = base64Decode(base64Encode(data));
    benchmark::DoNotOptimize(back);
  }
  state.SetBytesProcessed(state.iterations() * FileTransfer::chunkSize);
}
BENCHMARK(BM_Base64EncodeDecode);

// A stream of framed envelopes of the given size, delivered in 64 KiB reads as the control
// server receives them.
Bytes framedStream(std::size_t bodySize, std::size_t totalSize) {
  Bytes body = fileBytes(bodySize);
  Bytes frame = FrameCodec::encode(body);
  Bytes stream;
  while (stream.size() + frame.size() <= totalSize)
    stream.insert(stream.end(), frame.begin(), frame.end());
  return stream;
}

void BM_FrameDecoder(benchmark::State& state) {
  Bytes stream = framedStream(static_cast<std::size_t>(state.range(0)), 8 << 20);
  constexpr std::size_t kRead = 65536;
  for (auto _ : state) {
    FrameDecoder decoder;
    std::size_t bodies = 0;
    for (std::size_t at = 0; at < stream.size(); at += kRead) {
      bodies +=
          decoder.push(ByteView(stream).subspan(at, std::min(kRead, stream.size() - at))).size();
    }
    benchmark::DoNotOptimize(bodies);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(stream.size()));
}
BENCHMARK(BM_FrameDecoder)->Arg(200)->Arg(4096)->Arg(350000);

// Baseline: copying the same stream in the same reads, the least any decoder must do.
void BM_Baseline_Memcpy(benchmark::State& state) {
  Bytes stream = framedStream(4096, 8 << 20);
  Bytes sink(65536);
  for (auto _ : state) {
    for (std::size_t at = 0; at < stream.size(); at += sink.size()) {
      std::size_t n = std::min(sink.size(), stream.size() - at);
      std::memcpy(sink.data(), stream.data() + at, n);
      benchmark::ClobberMemory();
    }
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(stream.size()));
}
BENCHMARK(BM_Baseline_Memcpy);

}  // namespace
}  // namespace lumora::protocol

BENCHMARK_MAIN();
