#pragma once

// Whether a new launcher comes from the old launcher's publisher, decided
// from what the system says about the two files' signatures. The calls that
// ask the system (Windows: src/windows/signature.cpp) are kept apart, so
// that every answer the system can give is tested here on any machine.
//
// A signed launcher is replaced only by a program its publisher signed: a
// download that was swapped on its way, or an update server that was taken
// over, must not put an unsigned or foreign program in its place. Where the
// old launcher is not (validly) signed, nothing tells who its publisher is,
// and any download that passes the program check is installed.

#include <cstdint>
#include <string>

enum SignatureState {
    // No signature; also a file that cannot carry one, and a system that
    // cannot check signatures (no wintrust.dll).
    notSigned,
    // Signed, but the file has changed since it was signed.
    digestMismatch,
    // The signature matches the file and the system trusts the signer's
    // certificate chain (also an expired certificate, where a timestamp
    // shows that it was valid when it signed).
    verified,
    // The signature matches the file, but the system does not trust the
    // chain: a self-signed or test certificate, an authority it does not
    // know, a certificate expired with no timestamp to cover the signing.
    verifiedUntrustedChain,
    // Signed, but the system rejects the signature for another reason: a
    // signer it distrusts or that may not sign programs, a signature it
    // cannot read.
    signatureRejected,
    // The file is there but could not be read (another program held it
    // without sharing reading past the run's bound, or no right to): its
    // signature is unknown.
    unreadable
};

struct SignatureFacts {
    SignatureState state = notSigned;
    // The signer's certificate, where the signature matches the file: its
    // subject in the full X.500 form ("CN=..., O=..., C=..."), and its
    // public key (algorithm and key bytes).
    std::string subject;
    std::string publicKey;
};

enum PublisherVerdict {
    // The same publisher, or an old launcher that names none.
    samePublisher,
    newNotSigned,
    newSignatureBroken,
    newSignatureRejected,
    // Signed in another name.
    otherPublisher,
    // The old launcher's chain is not trusted, so only its own key names its
    // publisher; the new one is signed with another key.
    otherKey,
    // The old launcher's chain is trusted, the new one's, in the same name,
    // is not.
    newChainNotTrusted,
    // Whether the old launcher names a publisher is unknown: it may, so no
    // download can be shown to come from it.
    oldUnreadable
};

// What a result of WinVerifyTrust (an HRESULT, its bits as they are) says
// about a file's signature.
SignatureState StateOfTrustResult(std::uint32_t result);

// True where the old launcher's signature names a publisher that the
// download must share: it matches the file, and the signer is known.
bool NamesPublisher(const SignatureFacts& oldLauncher);

// Whether download may replace oldLauncher. Where the system trusts the old
// launcher's chain, a publisher is its certificate's subject, which a
// renewed certificate keeps with a new key, and the system must trust the
// new launcher's chain too; where it does not (anyone can make a
// certificate in any name), the publisher is the certificate's public key.
PublisherVerdict SamePublisher(const SignatureFacts& oldLauncher, const SignatureFacts& download);

// The error line that says why, naming the signers; empty for samePublisher.
std::string RefusalMessage(PublisherVerdict verdict, const SignatureFacts& oldLauncher,
                           const SignatureFacts& download);
