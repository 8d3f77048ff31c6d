#include "publisher.h"

namespace {

// WinVerifyTrust's results that tell something about the signature, as
// wintrust.h and winerror.h define them (this file builds everywhere).
const std::uint32_t trustSuccess = 0;
const std::uint32_t trustNoSignature = 0x800B0100;       // TRUST_E_NOSIGNATURE
const std::uint32_t trustSubjectFormUnknown = 0x800B0003; // TRUST_E_SUBJECT_FORM_UNKNOWN
const std::uint32_t trustProviderUnknown = 0x800B0001;   // TRUST_E_PROVIDER_UNKNOWN
const std::uint32_t trustBadDigest = 0x80096010;         // TRUST_E_BAD_DIGEST
const std::uint32_t certExpired = 0x800B0101;            // CERT_E_EXPIRED
const std::uint32_t certUntrustedRoot = 0x800B0109;      // CERT_E_UNTRUSTEDROOT
const std::uint32_t certChaining = 0x800B010A;           // CERT_E_CHAINING
const std::uint32_t certUntrustedTestRoot = 0x800B010D;  // CERT_E_UNTRUSTEDTESTROOT
const std::uint32_t certUntrustedCa = 0x800B0112;        // CERT_E_UNTRUSTEDCA

} // namespace

bool NamesPublisher(const SignatureFacts& oldLauncher)
{
    return (oldLauncher.state == verified || oldLauncher.state == verifiedUntrustedChain) &&
           !oldLauncher.publicKey.empty();
}

SignatureState StateOfTrustResult(std::uint32_t result)
{
    switch (result) {
    case trustSuccess:
        return verified;
    case trustNoSignature:
    case trustSubjectFormUnknown:
    case trustProviderUnknown:
        return notSigned;
    case trustBadDigest:
        return digestMismatch;
    // An expired certificate whose signing no timestamp covers signed
    // nothing valid today, but it still names its publisher.
    case certExpired:
    case certUntrustedRoot:
    case certChaining:
    case certUntrustedTestRoot:
    case certUntrustedCa:
        return verifiedUntrustedChain;
    default:
        return signatureRejected;
    }
}

PublisherVerdict SamePublisher(const SignatureFacts& oldLauncher, const SignatureFacts& download)
{
    if (oldLauncher.state == unreadable) {
        return oldUnreadable;
    }
    // A signature the system does not accept for the old launcher's own
    // file names no publisher to hold the download to.
    if (!NamesPublisher(oldLauncher)) {
        return samePublisher;
    }
    if (download.state == notSigned) {
        return newNotSigned;
    }
    if (download.state == digestMismatch) {
        return newSignatureBroken;
    }
    if (!NamesPublisher(download)) {
        return newSignatureRejected;
    }
    if (oldLauncher.state == verifiedUntrustedChain) {
        if (download.publicKey == oldLauncher.publicKey) {
            return samePublisher;
        }
        return download.subject == oldLauncher.subject ? otherKey : otherPublisher;
    }
    if (download.subject != oldLauncher.subject) {
        return otherPublisher;
    }
    return download.state == verified ? samePublisher : newChainNotTrusted;
}

std::string RefusalMessage(PublisherVerdict verdict, const SignatureFacts& oldLauncher,
                           const SignatureFacts& download)
{
    const std::string both = " (old: " + oldLauncher.subject + ", new: " + download.subject + ")";
    switch (verdict) {
    case samePublisher:
        return "";
    case newNotSigned:
        return "The new launcher is not signed, but the old launcher is (" + oldLauncher.subject + ")";
    case newSignatureBroken:
        return "The new launcher's signature does not match its contents";
    case newSignatureRejected:
        return "The system does not accept the new launcher's signature, but accepts the old launcher's (" +
               oldLauncher.subject + ")";
    case otherPublisher:
        return "The new launcher is not signed by the old launcher's publisher" + both;
    case otherKey:
        return "The new launcher is signed with another key than the old launcher, whose certificate the "
               "system does not trust" + both;
    case newChainNotTrusted:
        return "The new launcher's certificate is not trusted by the system, but the old launcher's is" + both;
    case oldUnreadable:
        return "The old launcher could not be read to tell who signed it";
    }
    return "";
}
