// Authenticode through wintrust.dll: WinVerifyTrust for the verdict, the
// provider's state for the signer's certificate.
//
// Uses: publisher.h (the rule and its refusals) and Win32 only: nothing of
// the rest of the layer, so that staging.cpp can call it.

#include "windows/signature.h"

#include <cstdint>
#include <wintrust.h>
#include <softpub.h>

namespace {

// wintrust.dll and crypt32.dll are loaded when first needed, from the
// system's folder by full path, rather than linked: a program linked to
// them would not start at all where one is missing (where instead no
// requirement is made), every run would load them, needed or not, and a
// copy planted beside Kestrin.exe, in a folder the user can write to, could
// be loaded in their place. A full path works on every Windows Kestrin runs
// on (LOAD_LIBRARY_SEARCH_SYSTEM32 needs an update on Windows 7), and
// LOAD_WITH_ALTERED_SEARCH_PATH takes their own dependencies from there too.
HMODULE SystemLibrary(const char* name)
{
    char folder[MAX_PATH];
    const UINT length = GetSystemDirectoryA(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return nullptr;
    }
    return LoadLibraryExA((std::string(folder) + "\\" + name).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

template <typename Call>
Call Find(HMODULE library, const char* name)
{
    return library == nullptr ? nullptr
                              : reinterpret_cast<Call>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}

using VerifyCall = LONG(WINAPI*)(HWND, GUID*, LPVOID);
using ProviderDataCall = CRYPT_PROVIDER_DATA*(WINAPI*)(HANDLE);
using SignerCall = CRYPT_PROVIDER_SGNR*(WINAPI*)(CRYPT_PROVIDER_DATA*, DWORD, BOOL, DWORD);
using NameCall = DWORD(WINAPI*)(DWORD, PCERT_NAME_BLOB, DWORD, LPSTR, DWORD);

HMODULE Wintrust()
{
    static const HMODULE library = SystemLibrary("wintrust.dll");
    return library;
}

std::wstring Wide(const std::string& path)
{
    const int length = MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0);
    std::wstring wide(length > 0 ? length : 1, L'\0');
    if (length <= 0 || MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, &wide[0], length) <= 0) {
        wide.assign(1, L'\0');
    }
    wide.pop_back();
    return wide;
}

std::string Bytes(const void* data, DWORD size)
{
    return size == 0 ? std::string() : std::string(static_cast<const char*>(data), size);
}

std::uint32_t Get(const std::string& bytes, std::size_t at, unsigned width)
{
    std::uint32_t value = 0;
    for (unsigned i = width; i-- > 0;) {
        value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    }
    return value;
}

// True for a program image whose header has no certificate table: it
// carries no signature, as WinVerifyTrust would say too, and wintrust.dll
// need not be loaded to tell (under Wine that alone takes a tenth of a
// second). Anything else (a script can be signed too) is left to
// WinVerifyTrust.
bool PlainlyUnsigned(HANDLE file)
{
    std::string head(4096, '\0');
    OVERLAPPED fromStart{};
    DWORD got = 0;
    if (!ReadFile(file, &head[0], static_cast<DWORD>(head.size()), &got, &fromStart) || got < 0x40 ||
        head.compare(0, 2, "MZ") != 0) {
        return false;
    }
    head.resize(got);
    const std::size_t optional = std::size_t{Get(head, 0x3c, 4)} + 24;
    if (optional + 112 + 5 * 8 > head.size() || head.compare(optional - 24, 4, std::string("PE\0\0", 4)) != 0) {
        return false;
    }
    // PE32 or PE32+: where the data directories begin, and how many there are.
    const bool wide = Get(head, optional, 2) == 0x20b;
    const std::size_t directories = optional + (wide ? 112 : 96);
    const std::uint32_t count = Get(head, directories - 4, 4);
    return count < 5 || Get(head, directories + 4 * 8 + 4, 4) == 0;
}

// The signer's certificate from the verification's state: its subject as
// "CN=..., O=..., C=..." and its public key. A signature whose signer
// cannot be read is taken for one the system rejects.
void ReadSigner(HANDLE state, SignatureFacts& facts)
{
    static const auto providerData = Find<ProviderDataCall>(Wintrust(), "WTHelperProvDataFromStateData");
    static const auto signerOf = Find<SignerCall>(Wintrust(), "WTHelperGetProvSignerFromChain");
    static const auto nameToString = Find<NameCall>(SystemLibrary("crypt32.dll"), "CertNameToStrA");
    CRYPT_PROVIDER_DATA* const provider = providerData != nullptr ? providerData(state) : nullptr;
    CRYPT_PROVIDER_SGNR* const signer =
        provider != nullptr && signerOf != nullptr ? signerOf(provider, 0, FALSE, 0) : nullptr;
    const PCCERT_CONTEXT certificate =
        signer != nullptr && signer->csCertChain > 0 ? signer->pasCertChain[0].pCert : nullptr;
    if (certificate == nullptr || nameToString == nullptr) {
        facts.state = signatureRejected;
        return;
    }
    CERT_INFO& info = *certificate->pCertInfo;
    const DWORD form = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG;
    const DWORD length = nameToString(X509_ASN_ENCODING, &info.Subject, form, nullptr, 0);
    std::string subject(length > 0 ? length : 1, '\0');
    nameToString(X509_ASN_ENCODING, &info.Subject, form, &subject[0], length);
    const CERT_PUBLIC_KEY_INFO& key = info.SubjectPublicKeyInfo;
    facts.subject = subject.c_str();
    facts.publicKey = std::string(key.Algorithm.pszObjId != nullptr ? key.Algorithm.pszObjId : "") + " " +
                      Bytes(key.Algorithm.Parameters.pbData, key.Algorithm.Parameters.cbData) + " " +
                      Bytes(key.PublicKey.pbData, key.PublicKey.cbData);
}

} // namespace

SignatureFacts ReadSignature(HANDLE file, const std::string& path)
{
    SignatureFacts facts;
    if (file == INVALID_HANDLE_VALUE || PlainlyUnsigned(file)) {
        return facts;
    }
    static const auto verifyTrust = Find<VerifyCall>(Wintrust(), "WinVerifyTrust");
    if (verifyTrust == nullptr) {
        return facts;
    }
    const std::wstring widePath = Wide(path);
    WINTRUST_FILE_INFO fileInfo{};
    fileInfo.cbStruct = sizeof fileInfo;
    fileInfo.pcwszFilePath = widePath.c_str();
    fileInfo.hFile = file;
    WINTRUST_DATA data{};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &fileInfo;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    // What the chain needs and the system lacks is not fetched.
    data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL | WTD_REVOCATION_CHECK_NONE;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    // No window: there may be no user to answer, and none is asked.
    const HWND noUser = static_cast<HWND>(INVALID_HANDLE_VALUE);
    const LONG result = verifyTrust(noUser, &action, &data);
    facts.state = StateOfTrustResult(static_cast<std::uint32_t>(result));
    if (facts.state == verified || facts.state == verifiedUntrustedChain) {
        ReadSigner(data.hWVTStateData, facts);
    }
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    verifyTrust(noUser, &action, &data);
    return facts;
}

namespace {

DWORD WINAPI ReadOnThread(LPVOID argument)
{
    SignatureRead& read = *static_cast<SignatureRead*>(argument);
    read.facts = ReadSignature(read.file, read.path);
    return 0;
}

} // namespace

void BeginReadingSignature(HANDLE file, const std::string& path, bool cannotBeRead, SignatureRead& read)
{
    read.path = path;
    read.file = file;
    read.facts.state = cannotBeRead ? unreadable : notSigned;
    read.certificates = file != INVALID_HANDLE_VALUE && !PlainlyUnsigned(file);
    if (read.certificates) {
        // Where no thread can be made, FinishReadingSignature reads it.
        read.thread = CreateThread(nullptr, 0, ReadOnThread, &read, 0, nullptr);
    }
}

SignatureFacts FinishReadingSignature(SignatureRead& read)
{
    if (read.thread != nullptr) {
        WaitForSingleObject(read.thread, INFINITE);
        CloseHandle(read.thread);
        read.thread = nullptr;
    } else if (read.file != INVALID_HANDLE_VALUE && read.certificates) {
        read.facts = ReadSignature(read.file, read.path);
    }
    if (read.file != INVALID_HANDLE_VALUE) {
        CloseHandle(read.file);
        read.file = INVALID_HANDLE_VALUE;
    }
    return read.facts;
}

bool SignedLikeOldLauncher(SignatureRead& oldLauncher, HANDLE staged, const std::string& stagedPath,
                           std::string& refusal)
{
    // The staged copy is hashed while the old launcher's hash goes on, in
    // case that names a publisher: waiting for it first would make the two
    // hashes take twice as long.
    const SignatureFacts download = oldLauncher.certificates ? ReadSignature(staged, stagedPath) : SignatureFacts{};
    const SignatureFacts old = FinishReadingSignature(oldLauncher);
    const PublisherVerdict verdict = SamePublisher(old, download);
    refusal = RefusalMessage(verdict, old, download);
    return verdict == samePublisher;
}
