// The header parser of collected mail: an input is a message as SmartPop stores it from a
// provider's mailbox. It is turned into a queued pair as the spooler does; the envelope must
// then name only local recipients (collected mail is never relayed onward) and fit the work
// file's lines.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "core/QueueFiles.h"
#include "core/TextFile.h"
#include "delivery/AddressParsing.h"
#include "delivery/Mailbox.h"

namespace {

[[noreturn]] void Broken(const std::string& what) {
    std::fprintf(stderr, "collected-mail envelope broken: %s\n", what.c_str());
    std::abort();
}

void CheckEnvelope(const std::string& workPath) {
    std::vector<std::string> lines;
    if (!pv::ReadWorkFile(workPath, lines)) Broken("the work file cannot be read");
    if (lines.size() < 2) Broken("the work file names no recipient");
    pv::CMailbox box;
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::string& r = lines[i];
        if (r == "postmaster") continue;
        const pv::AddressClass c = box.Classify(r);
        if (c != pv::AddressClass::LocalMailbox && c != pv::AddressClass::Alias) {
            Broken("recipient line " + std::to_string(i) + " is not local: " + r);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const pvfuzz::Site& site = pvfuzz::Setup();
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    // The address helpers take header values of any shape.
    pv::NormaliseAddress(pv::CleanAddressList(std::string(input.substr(0, 4096))));

    const std::string base = site.inbox + "/f0000001";
    pvfuzz::WriteBytes(base + ".pop", input);
    pv::CollectedEnvelope envelope;
    if (!pv::ReadCollectedHeaders(base + ".pop", envelope)) Broken("a stored message cannot be read");
    if (pv::ConvertCollectedMessage(base + ".pop")) {
        CheckEnvelope(base + ".wrk");
        pvfuzz::DigestFolder(site.inbox);
        if (pv::FileExists(base + ".pop")) Broken("the collected file is left beside its pair");
        pv::MayAnswerAutomatically(envelope.sender, base + ".txt", "example.test");
    }
    pvfuzz::ClearFolder(site.inbox);
    pvfuzz::DrainLog();
    return 0;
}
