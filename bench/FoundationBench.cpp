// Foundation hot paths: dictionary traffic, event building, property-list
// round trips and line formatting. BM_FormatLine_snprintf is the C
// library's figure for the same line, so the two read as a ratio.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "QxLFoundation.h"

namespace {

QXL_DEFINE_CONSTANT_STRING(kBenchKeyMessage, "Message");
QXL_DEFINE_CONSTANT_STRING(kBenchKeyFilename, "Filename");
QXL_DEFINE_CONSTANT_STRING(kBenchKeyReason, "Reason");
QXL_DEFINE_CONSTANT_STRING(kBenchTFTPClose, "TFTPClose");

void BM_DictionarySetGet50(benchmark::State& state) {
    QxLStringRef keys[50];
    for (int i = 0; i < 50; ++i) {
        std::string name = "Key" + std::to_string(i * 7919);
        keys[i] = QxLStringCreateWithText(name.c_str());
    }
    QxLNumberRef value = QxLNumberCreateWithValue(1234);
    for (auto _ : state) {
        QxLDictionaryRef dict = QxLDictionaryCreateWith(&kQxLObjectKeyCallbacks, &kQxLObjectValueCallbacks);
        for (auto key : keys) QxLDictionarySetValue(dict, key, value);
        for (auto key : keys) benchmark::DoNotOptimize(QxLDictionaryGet(dict, key));
        QxLObjectRelease(dict);
    }
    for (auto key : keys) QxLObjectRelease(key);
    QxLObjectRelease(value);
}
BENCHMARK(BM_DictionarySetGet50);

void BM_BuildEventDictionary(benchmark::State& state) {
    for (auto _ : state) {
        QxLObjectRef event = nullptr;
        QxLBuild(&event, "{%kO=%O%kO=%s%kO=%i}", kBenchKeyMessage, kBenchTFTPClose,
                 kBenchKeyFilename, "1/mach.orvane.mkext", kBenchKeyReason, 0);
        benchmark::DoNotOptimize(event);
        QxLObjectRelease(event);
    }
}
BENCHMARK(BM_BuildEventDictionary);

// A property list of about 4 KiB: a dictionary of mixed values and an array
// of progress dictionaries.
QxLObjectRef MakeFourKiBTree() {
    QxLObjectRef root = nullptr;
    QxLBuild(&root, "{Message=Progress;%ks=%i%ks=%i}", "Percentage", 42, "Remaining", 1260);
    QxLArrayRef steps = QxLArrayCreateEmpty();
    for (int i = 0; i < 20; ++i) {
        QxLBuildInto(steps, "{%ks=%s%ks=%i%ks=%b}", "Status", "Installing essential system software",
                     "Step", i, "Done", i % 2);
    }
    QxLDictionarySetValue(root, QXL_STR("Steps"), steps);
    QxLObjectRelease(steps);
    return root;
}

void BM_PropertyListWrite4K(benchmark::State& state) {
    QxLObjectRef root = MakeFourKiBTree();
    uint32_t length = 0;
    for (auto _ : state) {
        QxLDataRef data = nullptr;
        QxLPropertyListWrite(root, &data);
        QxLDataGetBytes(data, nullptr, &length);
        QxLObjectRelease(data);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * length);
    state.counters["bytes"] = length;
    QxLObjectRelease(root);
}
BENCHMARK(BM_PropertyListWrite4K);

void BM_PropertyListRead4K(benchmark::State& state) {
    QxLObjectRef root = MakeFourKiBTree();
    QxLDataRef data = nullptr;
    QxLPropertyListWrite(root, &data);
    uint8_t* bytes = nullptr;
    uint32_t length = 0;
    QxLDataGetBytes(data, &bytes, &length);
    for (auto _ : state) {
        QxLObjectRef copy = nullptr;
        QxLPropertyListRead(bytes, static_cast<int32_t>(length), &copy);
        benchmark::DoNotOptimize(copy);
        QxLObjectRelease(copy);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * length);
    QxLObjectRelease(data);
    QxLObjectRelease(root);
}
BENCHMARK(BM_PropertyListRead4K);

void BM_FormatLine_QxL(benchmark::State& state) {
    char line[256];
    unsigned counter = 0;
    for (auto _ : state) {
        int n = QxLFormatToBuffer(line, sizeof line, "%s %u %s\r\n", "HTTP/1.1", 200u + (counter++ & 7), "OK");
        benchmark::DoNotOptimize(n);
        benchmark::DoNotOptimize(line);
    }
}
BENCHMARK(BM_FormatLine_QxL);

void BM_FormatLine_snprintf(benchmark::State& state) {
    char line[256];
    unsigned counter = 0;
    for (auto _ : state) {
        int n = std::snprintf(line, sizeof line, "%s %u %s\r\n", "HTTP/1.1", 200u + (counter++ & 7), "OK");
        benchmark::DoNotOptimize(n);
        benchmark::DoNotOptimize(line);
    }
}
BENCHMARK(BM_FormatLine_snprintf);

}  // namespace
