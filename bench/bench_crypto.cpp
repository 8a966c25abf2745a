#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QRandomGenerator>

#include "api/apirequest.h"
#include "api/contracts.h"
#include "crypto/aescipher.h"
#include "feedsim.h"

namespace {

QByteArray randomBytes(int n)
{
    QByteArray bytes(n, Qt::Uninitialized);
    QRandomGenerator generator(7);
    for (int i = 0; i < n; ++i)
        bytes[i] = char(generator.bounded(256));
    return bytes;
}

void BM_Aes256CbcDecrypt8MiB(benchmark::State &state)
{
    const AesCipher aes(AesCipher::AES_256, AesCipher::CBC, AesCipher::ISO);
    const QByteArray key = randomBytes(32);
    const QByteArray iv = randomBytes(16);
    const QByteArray sealed = aes.encrypt(randomBytes(8 << 20), key, iv);
    for (auto _ : state) {
        QByteArray plain = aes.decrypt(sealed, key, iv);
        benchmark::DoNotOptimize(plain.data());
    }
    state.SetBytesProcessed(state.iterations() * sealed.size());
}
BENCHMARK(BM_Aes256CbcDecrypt8MiB)->Unit(benchmark::kMillisecond);

void BM_Aes256CbcEncrypt8MiB(benchmark::State &state)
{
    const AesCipher aes(AesCipher::AES_256, AesCipher::CBC, AesCipher::ISO);
    const QByteArray key = randomBytes(32);
    const QByteArray iv = randomBytes(16);
    const QByteArray plain = randomBytes(8 << 20);
    for (auto _ : state) {
        QByteArray sealed = aes.encrypt(plain, key, iv);
        benchmark::DoNotOptimize(sealed.data());
    }
    state.SetBytesProcessed(state.iterations() * plain.size());
}
BENCHMARK(BM_Aes256CbcEncrypt8MiB)->Unit(benchmark::kMillisecond);

void BM_DecryptResponse5MB(benchmark::State &state)
{
    QByteArray json = "{\"data\":\"";
    json += QByteArray(5000000 - json.size() - 2, 'd');
    json += "\"}";
    const QByteArray envelope = encryptEnvelope(json);
    for (auto _ : state) {
        QByteArray plain = decryptResponse(envelope);
        if (plain.size() != json.size())
            state.SkipWithError("envelope did not unwrap");
        benchmark::DoNotOptimize(plain.data());
    }
    state.SetBytesProcessed(state.iterations() * json.size());
}
BENCHMARK(BM_DecryptResponse5MB)->Unit(benchmark::kMillisecond);

void BM_UnwrapAndParse150kContracts(benchmark::State &state)
{
    const QByteArray envelope = encryptEnvelope(FeedSim::contractsJson(FeedSimOptions::MaxContracts));
    for (auto _ : state) {
        const ContractCatalogue catalogue = parseContracts(decryptResponse(envelope));
        benchmark::DoNotOptimize(catalogue.size());
    }
}
BENCHMARK(BM_UnwrapAndParse150kContracts)->Unit(benchmark::kMillisecond);

// The whole fetch against the in-process reference server (answer built once and cached there).
void BM_Fetch150kContracts(benchmark::State &state)
{
    FeedSim sim;
    sim.options().envelope = true;
    sim.options().contractCount = FeedSimOptions::MaxContracts;
    if (!sim.start()) {
        state.SkipWithError("feedsim did not start");
        return;
    }
    qputenv("QUILLMARK_SERVER", sim.serverHost().toUtf8());
    QNetworkAccessManager manager;
    fetchContracts(&manager); // warm the server's cache and the connection
    int symbols = 0;
    for (auto _ : state) {
        const ContractCatalogue catalogue = fetchContracts(&manager);
        symbols = 0;
        for (const QStringList &list : catalogue)
            symbols += list.size();
    }
    if (symbols != FeedSimOptions::MaxContracts)
        state.SkipWithError("catalogue incomplete");
    state.counters["contracts"] = symbols;
}
BENCHMARK(BM_Fetch150kContracts)->Unit(benchmark::kMillisecond)->Iterations(5);

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
