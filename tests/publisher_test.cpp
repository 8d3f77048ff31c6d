// Whether a download comes from the old launcher's publisher, from what the
// system says of the two files: every answer, including those that Wine
// never gives (it trusts every chain, and reads no signer of a changed file).

#include "publisher.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

// WinVerifyTrust's results, as winerror.h defines them.
const std::uint32_t trusted = 0;
const std::uint32_t noSignature = 0x800B0100;   // TRUST_E_NOSIGNATURE
const std::uint32_t formUnknown = 0x800B0003;   // TRUST_E_SUBJECT_FORM_UNKNOWN: no program
const std::uint32_t badDigest = 0x80096010;     // TRUST_E_BAD_DIGEST
const std::uint32_t untrustedRoot = 0x800B0109; // CERT_E_UNTRUSTEDROOT: self-signed
const std::uint32_t chaining = 0x800B010A;      // CERT_E_CHAINING
const std::uint32_t testRoot = 0x800B010D;      // CERT_E_UNTRUSTEDTESTROOT
const std::uint32_t untrustedCa = 0x800B0112;   // CERT_E_UNTRUSTEDCA
const std::uint32_t providerUnknown = 0x800B0001; // TRUST_E_PROVIDER_UNKNOWN
const std::uint32_t expired = 0x800B0101;       // CERT_E_EXPIRED, no timestamp
const std::uint32_t distrusted = 0x800B0111;    // TRUST_E_EXPLICIT_DISTRUST
const std::uint32_t fileMissing = 2;            // ERROR_FILE_NOT_FOUND
const std::uint32_t cannotRead = 5;             // ERROR_ACCESS_DENIED: not asked, never opened

const std::string acme = "CN=Acme Games Ltd, O=Acme Games Ltd, C=GB";
const std::string other = "CN=Someone Else, O=Someone Else, C=US";
const bool names = true;
const bool none = false;

// A file as the system describes it: the signer is read only where the
// state says that the signature matches, as src/windows/signature.cpp does.
struct File {
    std::uint32_t result;
    std::string subject;
    std::string key;
};

SignatureFacts FactsOf(const File& file)
{
    SignatureFacts facts;
    facts.state = file.result == cannotRead ? unreadable : StateOfTrustResult(file.result);
    if (facts.state == verified || facts.state == verifiedUntrustedChain) {
        facts.subject = file.subject;
        facts.publicKey = file.key;
    }
    return facts;
}

TEST(SamePublisher, InstallsOnlyWhatTheOldLaunchersPublisherSigned)
{
    const std::string notSignedByAcme = "The new launcher is not signed by the old launcher's publisher (old: " + acme +
                                        ", new: " + other + ")";
    const struct {
        const char* name;
        File oldLauncher;
        bool oldNamesPublisher; // else the download is not even looked at
        File download;
        std::string refusal; // empty: installed
    } cases[] = {
        {"both signed by one trusted certificate", {trusted, acme, "key 1"}, names, {trusted, acme, "key 1"}, ""},
        {"trusted chain renewed with a new key", {trusted, acme, "key 1"}, names, {trusted, acme, "key 2"}, ""},
        {"trusted old, another trusted publisher", {trusted, acme, "key 1"}, names, {trusted, other, "key 2"}, notSignedByAcme},
        {"trusted old, another publisher with the same key", {trusted, acme, "key 1"}, names, {trusted, other, "key 1"},
         notSignedByAcme},
        {"trusted old, same name on a self-signed certificate", {trusted, acme, "key 1"}, names, {untrustedRoot, acme, "key 2"},
         "The new launcher's certificate is not trusted by the system, but the old launcher's is (old: " + acme +
             ", new: " + acme + ")"},
        {"untrusted old, the very same certificate", {untrustedRoot, acme, "key 1"}, names, {untrustedRoot, acme, "key 1"}, ""},
        {"untrusted old, its key now in a trusted chain", {testRoot, acme, "key 1"}, names, {trusted, other, "key 1"}, ""},
        {"untrusted old, same name with another key", {untrustedRoot, acme, "key 1"}, names, {untrustedRoot, acme, "key 2"},
         "The new launcher is signed with another key than the old launcher, whose certificate the system does not "
         "trust (old: " + acme + ", new: " + acme + ")"},
        {"untrusted old, same name with another key, trusted", {untrustedRoot, acme, "key 1"}, names, {trusted, acme, "key 2"},
         "The new launcher is signed with another key than the old launcher, whose certificate the system does not "
         "trust (old: " + acme + ", new: " + acme + ")"},
        {"untrusted old through an unknown authority, same key", {untrustedCa, acme, "key 1"}, names,
         {untrustedCa, acme, "key 1"}, ""},
        {"untrusted old, another name and key", {chaining, acme, "key 1"}, names, {trusted, other, "key 2"}, notSignedByAcme},
        {"expired old without a timestamp, same key", {expired, acme, "key 1"}, names, {trusted, acme, "key 1"}, ""},
        {"expired old without a timestamp, renewed key", {expired, acme, "key 1"}, names, {trusted, acme, "key 2"},
         "The new launcher is signed with another key than the old launcher, whose certificate the system does not "
         "trust (old: " + acme + ", new: " + acme + ")"},
        // A timestamp keeps the signature valid: the system says so.
        {"expired old with a timestamp, renewed key", {trusted, acme, "key 1"}, names, {trusted, acme, "key 2"}, ""},
        {"old unsigned, new unsigned", {noSignature, "", ""}, none, {noSignature, "", ""}, ""},
        {"old unsigned, new signed by anyone", {noSignature, "", ""}, none, {untrustedRoot, other, "key 2"}, ""},
        {"old no program, new unsigned", {formUnknown, "", ""}, none, {noSignature, "", ""}, ""},
        {"old missing", {fileMissing, "", ""}, none, {noSignature, "", ""}, ""},
        {"old changed since signed", {badDigest, acme, "key 1"}, none, {noSignature, "", ""}, ""},
        {"old signer distrusted", {distrusted, acme, "key 1"}, none, {noSignature, "", ""}, ""},
        {"old signer unreadable", {trusted, acme, ""}, none, {noSignature, "", ""}, ""},
        {"new unsigned", {trusted, acme, "key 1"}, names, {noSignature, "", ""},
         "The new launcher is not signed, but the old launcher is (" + acme + ")"},
        {"new no program that can be signed", {untrustedRoot, acme, "key 1"}, names, {formUnknown, "", ""},
         "The new launcher is not signed, but the old launcher is (" + acme + ")"},
        {"new of a kind no provider knows", {trusted, acme, "key 1"}, names, {providerUnknown, "", ""},
         "The new launcher is not signed, but the old launcher is (" + acme + ")"},
        {"new changed since signed", {trusted, acme, "key 1"}, names, {badDigest, acme, "key 1"},
         "The new launcher's signature does not match its contents"},
        {"new signer distrusted", {trusted, acme, "key 1"}, names, {distrusted, acme, "key 1"},
         "The system does not accept the new launcher's signature, but accepts the old launcher's (" + acme + ")"},
        {"new signer unreadable", {untrustedRoot, acme, "key 1"}, names, {untrustedRoot, acme, ""},
         "The system does not accept the new launcher's signature, but accepts the old launcher's (" + acme + ")"},
        {"old unreadable, new signed", {cannotRead, "", ""}, none, {trusted, acme, "key 1"},
         "The old launcher could not be read to tell who signed it"},
    };
    for (const auto& c : cases) {
        const SignatureFacts oldLauncher = FactsOf(c.oldLauncher);
        const SignatureFacts download = FactsOf(c.download);
        const PublisherVerdict verdict = SamePublisher(oldLauncher, download);
        EXPECT_EQ(verdict == samePublisher, c.refusal.empty()) << c.name;
        EXPECT_EQ(RefusalMessage(verdict, oldLauncher, download), c.refusal) << c.name;
        EXPECT_EQ(NamesPublisher(oldLauncher), c.oldNamesPublisher) << c.name;
    }
}

} // namespace
