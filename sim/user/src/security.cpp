// Simulated security services: SIDs, access-control lists, security descriptors in absolute
// and self-relative form, account lookup, the logged-on user's token and the access check
// the registry applies to every key it opens.
#include "internal.h"

#include <cstdio>
#include <cstring>

using namespace sim::user::detail;

namespace sim::user {
const char *const kSidSystem = "S-1-5-18";
const char *const kSidAdministrators = "S-1-5-32-544";
const char *const kSidUsers = "S-1-5-32-545";
const char *const kSidEveryone = "S-1-1-0";
}  // namespace sim::user

namespace {

// ======================================================================================
// Accounts and the token
// ======================================================================================

struct SecurityState {
    std::u16string userName = u"Operator";
    std::string userSid = "S-1-5-21-1004336348-1177238915-682003330-1001";
    bool elevated = true;
};
SecurityState g_security;

struct Account {
    std::u16string domain;
    std::u16string name;
    std::string sid;
    SID_NAME_USE use;
};

std::vector<Account> Accounts() {
    return {
        {sim::user::ComputerName(), g_security.userName, g_security.userSid, SidTypeUser},
        {u"BUILTIN", u"Administrators", sim::user::kSidAdministrators, SidTypeAlias},
        {u"BUILTIN", u"Users", sim::user::kSidUsers, SidTypeAlias},
        {u"NT AUTHORITY", u"SYSTEM", sim::user::kSidSystem, SidTypeWellKnownGroup},
        {u"", u"Everyone", sim::user::kSidEveryone, SidTypeWellKnownGroup},
    };
}

std::vector<std::vector<BYTE>> TokenSids() {
    std::vector<std::vector<BYTE>> sids = {sim::user::SidFromText(g_security.userSid),
                                           sim::user::SidFromText(sim::user::kSidEveryone),
                                           sim::user::SidFromText("S-1-5-11"),
                                           sim::user::SidFromText(sim::user::kSidUsers)};
    if (g_security.elevated) sids.push_back(sim::user::SidFromText(sim::user::kSidAdministrators));
    return sids;
}

bool SameSid(const void *a, const void *b) {
    size_t la = SidLength(a), lb = SidLength(b);
    return la == lb && std::memcmp(a, b, la) == 0;
}

bool TokenHas(const void *sid) {
    for (auto &s : TokenSids())
        if (SameSid(s.data(), sid)) return true;
    return false;
}

// ======================================================================================
// Descriptor parts
// ======================================================================================

struct DescriptorParts {
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    const void *owner = nullptr;
    const ACL *dacl = nullptr;
};

bool ReadParts(const void *sd, DescriptorParts *parts) {
    if (!sd) return false;
    auto *abs = static_cast<const SECURITY_DESCRIPTOR *>(sd);
    if (abs->Revision != SECURITY_DESCRIPTOR_REVISION) return false;
    parts->control = abs->Control;
    if (abs->Control & SE_SELF_RELATIVE) {
        auto *rel = static_cast<const SECURITY_DESCRIPTOR_RELATIVE *>(sd);
        auto *base = static_cast<const BYTE *>(sd);
        parts->owner = rel->Owner ? base + rel->Owner : nullptr;
        parts->dacl = (rel->Control & SE_DACL_PRESENT) && rel->Dacl ? reinterpret_cast<const ACL *>(base + rel->Dacl) : nullptr;
    } else {
        parts->owner = abs->Owner;
        parts->dacl = (abs->Control & SE_DACL_PRESENT) ? abs->Dacl : nullptr;
    }
    return true;
}

size_t AceCountFits(const ACL *acl) {
    // Bytes of the ACEs, walked by their sizes; 0 if they run past the ACL.
    const BYTE *p = reinterpret_cast<const BYTE *>(acl) + sizeof(ACL);
    const BYTE *end = reinterpret_cast<const BYTE *>(acl) + acl->AclSize;
    for (WORD i = 0; i < acl->AceCount; ++i) {
        if (p + sizeof(ACE_HEADER) > end) return 0;
        WORD size = reinterpret_cast<const ACE_HEADER *>(p)->AceSize;
        if (size < sizeof(ACE_HEADER) || (size & 3) || p + size > end) return 0;
        p += size;
    }
    return size_t(p - reinterpret_cast<const BYTE *>(acl));
}

BYTE *AceAt(ACL *acl, DWORD index) {
    BYTE *p = reinterpret_cast<BYTE *>(acl) + sizeof(ACL);
    for (DWORD i = 0; i < index; ++i) p += reinterpret_cast<ACE_HEADER *>(p)->AceSize;
    return p;
}

}  // namespace

// ======================================================================================
// Helpers for the registry and the test interface
// ======================================================================================

namespace sim::user::detail {

void ResetSecurity() { g_security = SecurityState{}; }

std::vector<BYTE> CurrentUserSid() { return SidFromText(g_security.userSid); }

bool ValidSid(const void *sid, size_t maxBytes) {
    if (!sid || maxBytes < 8) return false;
    auto *s = static_cast<const SID *>(sid);
    return s->Revision == SID_REVISION && s->SubAuthorityCount <= SID_MAX_SUB_AUTHORITIES &&
           8 + 4u * s->SubAuthorityCount <= maxBytes;
}

size_t SidLength(const void *sid) { return 8 + 4u * static_cast<const SID *>(sid)->SubAuthorityCount; }

bool ValidAcl(const void *aclPtr) {
    if (!aclPtr) return false;
    auto *acl = static_cast<const ACL *>(aclPtr);
    if (acl->AclRevision < ACL_REVISION || acl->AclRevision > ACL_REVISION_DS || acl->AclSize < sizeof(ACL)) return false;
    return acl->AceCount == 0 || AceCountFits(acl) != 0;
}

std::vector<BYTE> BuildAcl(const std::vector<AceSpec> &aces) {
    std::vector<BYTE> body;
    for (auto &a : aces) {
        std::vector<BYTE> sid = SidFromText(a.sid);
        ACCESS_ALLOWED_ACE ace{};
        ace.Header.AceType = a.type;
        ace.Header.AceFlags = a.flags;
        ace.Header.AceSize = WORD(8 + sid.size());
        ace.Mask = a.mask;
        const BYTE *h = reinterpret_cast<const BYTE *>(&ace);
        body.insert(body.end(), h, h + 8);
        body.insert(body.end(), sid.begin(), sid.end());
    }
    std::vector<BYTE> out(sizeof(ACL) + body.size());
    ACL acl{ACL_REVISION, 0, WORD(out.size()), WORD(aces.size()), 0};
    std::memcpy(out.data(), &acl, sizeof acl);
    if (!body.empty()) std::memcpy(out.data() + sizeof acl, body.data(), body.size());
    return out;
}

std::vector<AceSpec> ParseAcl(const BYTE *aclBytes) {
    std::vector<AceSpec> out;
    auto *acl = reinterpret_cast<const ACL *>(aclBytes);
    const BYTE *p = aclBytes + sizeof(ACL);
    for (WORD i = 0; i < acl->AceCount; ++i) {
        auto *ace = reinterpret_cast<const ACCESS_ALLOWED_ACE *>(p);
        out.push_back(AceSpec{ace->Header.AceType, ace->Mask, SidToText(&ace->SidStart), ace->Header.AceFlags});
        p += ace->Header.AceSize;
    }
    return out;
}

StoredSecurity DefaultKeySecurity() {
    StoredSecurity s;
    s.owner = SidFromText(kSidAdministrators);
    s.daclKind = DaclKind::List;
    s.dacl = BuildAcl({{ACCESS_ALLOWED_ACE_TYPE, KEY_ALL_ACCESS, kSidSystem, CONTAINER_INHERIT_ACE},
                       {ACCESS_ALLOWED_ACE_TYPE, KEY_ALL_ACCESS, kSidAdministrators, CONTAINER_INHERIT_ACE},
                       {ACCESS_ALLOWED_ACE_TYPE, KEY_READ, kSidUsers, CONTAINER_INHERIT_ACE}});
    return s;
}

ACCESS_MASK MapGenericKeyRights(ACCESS_MASK mask) {
    ACCESS_MASK out = mask & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (mask & GENERIC_READ) out |= KEY_READ;
    if (mask & GENERIC_WRITE) out |= KEY_WRITE;
    if (mask & GENERIC_EXECUTE) out |= KEY_EXECUTE;
    if (mask & GENERIC_ALL) out |= KEY_ALL_ACCESS;
    return out;
}

// The DACL is walked in order: a deny entry for one of the token's SIDs refuses the rights
// it names that are still wanted; allow entries add rights. The owner always may read and
// change the DACL. ACCESS_SYSTEM_SECURITY needs a privilege the caller never enables here.
bool AccessCheck(const StoredSecurity &security, ACCESS_MASK desiredIn, ACCESS_MASK *granted) {
    const ACCESS_MASK all = KEY_ALL_ACCESS;
    const bool maximum = (desiredIn & MAXIMUM_ALLOWED) != 0;
    ACCESS_MASK desired = MapGenericKeyRights(desiredIn) & ~ACCESS_MASK(MAXIMUM_ALLOWED) & ~ACCESS_MASK(KEY_WOW64_32KEY | KEY_WOW64_64KEY);
    if (desired & ACCESS_SYSTEM_SECURITY) return false;
    if (security.daclKind != DaclKind::List) {
        *granted = maximum ? (all | desired) : desired;
        return true;
    }
    ACCESS_MASK allowed = 0, denied = 0;
    if (!security.owner.empty() && TokenHas(security.owner.data())) allowed |= READ_CONTROL | WRITE_DAC;
    const ACL *acl = reinterpret_cast<const ACL *>(security.dacl.data());
    const BYTE *p = security.dacl.data() + sizeof(ACL);
    for (WORD i = 0; i < acl->AceCount; ++i) {
        auto *ace = reinterpret_cast<const ACCESS_ALLOWED_ACE *>(p);
        p += ace->Header.AceSize;
        if (ace->Header.AceFlags & INHERIT_ONLY_ACE) continue;
        if (!TokenHas(&ace->SidStart)) continue;
        ACCESS_MASK mask = MapGenericKeyRights(ace->Mask);
        if (ace->Header.AceType == ACCESS_DENIED_ACE_TYPE) denied |= mask & ~allowed;
        else if (ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE) allowed |= mask & ~denied;
    }
    if (maximum) {
        *granted = allowed | desired;
        return (desired & ~allowed) == 0 && allowed != 0;
    }
    if ((desired & ~allowed) != 0) return false;
    *granted = desired;
    return true;
}

}  // namespace sim::user::detail

// ======================================================================================
// Test interface
// ======================================================================================

namespace sim::user {

void SetCurrentUser(const std::u16string &name, const std::string &sidText) {
    SIM_USER_LOCK();
    g_security.userName = name;
    g_security.userSid = sidText;
}

void SetElevated(bool elevated) {
    SIM_USER_LOCK();
    g_security.elevated = elevated;
}

std::vector<BYTE> SidFromText(const std::string &sidText) {
    // "S-1-<authority>-<sub>-<sub>..."
    std::vector<unsigned long long> numbers;
    size_t pos = 2;
    while (pos < sidText.size()) {
        size_t dash = sidText.find('-', pos);
        numbers.push_back(std::stoull(sidText.substr(pos, dash - pos)));
        if (dash == std::string::npos) break;
        pos = dash + 1;
    }
    std::vector<BYTE> sid(8 + 4 * (numbers.size() - 2));
    sid[0] = BYTE(numbers[0]);
    sid[1] = BYTE(numbers.size() - 2);
    for (int i = 0; i < 6; ++i) sid[2 + i] = BYTE(numbers[1] >> (8 * (5 - i)));
    for (size_t i = 2; i < numbers.size(); ++i) {
        DWORD sub = DWORD(numbers[i]);
        std::memcpy(&sid[8 + 4 * (i - 2)], &sub, 4);
    }
    return sid;
}

std::string SidToText(const void *sidPtr) {
    auto *sid = static_cast<const SID *>(sidPtr);
    unsigned long long authority = 0;
    for (int i = 0; i < 6; ++i) authority = (authority << 8) | sid->IdentifierAuthority.Value[i];
    std::string text = "S-" + std::to_string(sid->Revision) + "-" + std::to_string(authority);
    for (int i = 0; i < sid->SubAuthorityCount; ++i) {
        DWORD sub;
        std::memcpy(&sub, static_cast<const BYTE *>(sidPtr) + 8 + 4 * i, 4);
        text += "-" + std::to_string(sub);
    }
    return text;
}

}  // namespace sim::user

// ======================================================================================
// advapi32: SIDs, ACLs, descriptors, accounts
// ======================================================================================

extern "C" {

BOOL WINAPI IsValidSid(PSID pSid) { return ValidSid(pSid, SECURITY_MAX_SID_SIZE) ? TRUE : FALSE; }

DWORD WINAPI GetLengthSid(PSID pSid) { return pSid ? DWORD(SidLength(pSid)) : 0; }

BOOL WINAPI CopySid(DWORD nDestinationSidLength, PSID pDestinationSid, PSID pSourceSid) {
    if (!ValidSid(pSourceSid, SECURITY_MAX_SID_SIZE)) {
        SetLastError(ERROR_INVALID_SID);
        return FALSE;
    }
    size_t len = SidLength(pSourceSid);
    if (nDestinationSidLength < len || !pDestinationSid) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(pDestinationSid, pSourceSid, len);
    return TRUE;
}

BOOL WINAPI EqualSid(PSID pSid1, PSID pSid2) {
    if (!ValidSid(pSid1, SECURITY_MAX_SID_SIZE) || !ValidSid(pSid2, SECURITY_MAX_SID_SIZE)) {
        SetLastError(ERROR_INVALID_SID);
        return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return SameSid(pSid1, pSid2) ? TRUE : FALSE;
}

BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD dwRevision) {
    if (dwRevision != SECURITY_DESCRIPTOR_REVISION || !pSecurityDescriptor) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::memset(pSecurityDescriptor, 0, sizeof(SECURITY_DESCRIPTOR));
    static_cast<SECURITY_DESCRIPTOR *>(pSecurityDescriptor)->Revision = SECURITY_DESCRIPTOR_REVISION;
    return TRUE;
}

BOOL WINAPI IsValidSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor) {
    DescriptorParts parts;
    if (!ReadParts(pSecurityDescriptor, &parts) || (parts.dacl && !ValidAcl(parts.dacl)) ||
        (parts.owner && !ValidSid(const_cast<void *>(parts.owner), SECURITY_MAX_SID_SIZE))) {
        SetLastError(ERROR_INVALID_SECURITY_DESCR);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, LPBOOL lpbDaclPresent, PACL *pDacl,
                                      LPBOOL lpbDaclDefaulted) {
    DescriptorParts parts;
    if (!ReadParts(pSecurityDescriptor, &parts)) {
        SetLastError(ERROR_INVALID_SECURITY_DESCR);
        return FALSE;
    }
    *lpbDaclPresent = (parts.control & SE_DACL_PRESENT) ? TRUE : FALSE;
    if (*lpbDaclPresent) {
        *pDacl = const_cast<PACL>(parts.dacl);
        *lpbDaclDefaulted = (parts.control & SE_DACL_DEFAULTED) ? TRUE : FALSE;
    }
    return TRUE;
}

BOOL WINAPI SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent, PACL pDacl,
                                      BOOL bDaclDefaulted) {
    auto *sd = static_cast<SECURITY_DESCRIPTOR *>(pSecurityDescriptor);
    if (!sd || sd->Revision != SECURITY_DESCRIPTOR_REVISION) {
        SetLastError(ERROR_INVALID_SECURITY_DESCR);
        return FALSE;
    }
    if (sd->Control & SE_SELF_RELATIVE) {
        SetLastError(ERROR_INVALID_SECURITY_DESCR);
        return FALSE;
    }
    sd->Control &= ~SECURITY_DESCRIPTOR_CONTROL(SE_DACL_PRESENT | SE_DACL_DEFAULTED);
    sd->Dacl = nullptr;
    if (bDaclPresent) {
        sd->Control |= SE_DACL_PRESENT;
        sd->Dacl = pDacl;
        if (bDaclDefaulted) sd->Control |= SE_DACL_DEFAULTED;
    }
    return TRUE;
}

BOOL WINAPI GetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSID *pOwner, LPBOOL lpbOwnerDefaulted) {
    DescriptorParts parts;
    if (!ReadParts(pSecurityDescriptor, &parts)) {
        SetLastError(ERROR_INVALID_SECURITY_DESCR);
        return FALSE;
    }
    *pOwner = const_cast<void *>(parts.owner);
    *lpbOwnerDefaulted = (parts.control & SE_OWNER_DEFAULTED) ? TRUE : FALSE;
    return TRUE;
}

BOOL WINAPI InitializeAcl(PACL pAcl, DWORD nAclLength, DWORD dwAclRevision) {
    if (nAclLength < sizeof(ACL)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (!pAcl || nAclLength > MAXWORD || dwAclRevision < ACL_REVISION || dwAclRevision > ACL_REVISION_DS) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *pAcl = ACL{BYTE(dwAclRevision), 0, WORD(nAclLength & ~3u), 0, 0};
    return TRUE;
}

BOOL WINAPI IsValidAcl(PACL pAcl) { return ValidAcl(pAcl) ? TRUE : FALSE; }

BOOL WINAPI GetAclInformation(PACL pAcl, LPVOID pAclInformation, DWORD nAclInformationLength,
                              ACL_INFORMATION_CLASS dwAclInformationClass) {
    if (!ValidAcl(pAcl)) {
        SetLastError(ERROR_INVALID_ACL);
        return FALSE;
    }
    if (dwAclInformationClass == AclSizeInformation) {
        if (nAclInformationLength < sizeof(ACL_SIZE_INFORMATION)) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        auto *info = static_cast<ACL_SIZE_INFORMATION *>(pAclInformation);
        DWORD inUse = pAcl->AceCount ? DWORD(AceCountFits(pAcl)) : DWORD(sizeof(ACL));
        *info = ACL_SIZE_INFORMATION{pAcl->AceCount, inUse, pAcl->AclSize - inUse};
        return TRUE;
    }
    if (dwAclInformationClass == AclRevisionInformation) {
        if (nAclInformationLength < sizeof(ACL_REVISION_INFORMATION)) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        static_cast<ACL_REVISION_INFORMATION *>(pAclInformation)->AclRevision = pAcl->AclRevision;
        return TRUE;
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

BOOL WINAPI GetAce(PACL pAcl, DWORD dwAceIndex, LPVOID *pAce) {
    if (!ValidAcl(pAcl) || dwAceIndex >= pAcl->AceCount) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *pAce = AceAt(pAcl, dwAceIndex);
    return TRUE;
}

BOOL WINAPI AddAce(PACL pAcl, DWORD dwAceRevision, DWORD dwStartingAceIndex, LPVOID pAceList, DWORD nAceListLength) {
    if (!ValidAcl(pAcl) || !pAceList) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Count the entries of the list and check that they tile it exactly.
    DWORD count = 0, walked = 0;
    while (walked < nAceListLength) {
        if (nAceListLength - walked < sizeof(ACE_HEADER)) break;
        WORD size = reinterpret_cast<ACE_HEADER *>(static_cast<BYTE *>(pAceList) + walked)->AceSize;
        if (size < sizeof(ACE_HEADER) || walked + size > nAceListLength) break;
        walked += size;
        ++count;
    }
    if (walked != nAceListLength) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD inUse = pAcl->AceCount ? DWORD(AceCountFits(pAcl)) : DWORD(sizeof(ACL));
    if (inUse + nAceListLength > pAcl->AclSize) {
        SetLastError(ERROR_ALLOTTED_SPACE_EXCEEDED);
        return FALSE;
    }
    DWORD index = dwStartingAceIndex > pAcl->AceCount ? pAcl->AceCount : dwStartingAceIndex;
    BYTE *at = AceAt(pAcl, index);
    BYTE *end = reinterpret_cast<BYTE *>(pAcl) + inUse;
    std::memmove(at + nAceListLength, at, size_t(end - at));
    std::memcpy(at, pAceList, nAceListLength);
    pAcl->AceCount = WORD(pAcl->AceCount + count);
    if (dwAceRevision > pAcl->AclRevision && dwAceRevision <= ACL_REVISION_DS) pAcl->AclRevision = BYTE(dwAceRevision);
    return TRUE;
}

static BOOL AppendAce(PACL pAcl, BYTE type, DWORD flags, DWORD mask, PSID pSid) {
    if (!ValidAcl(pAcl)) {
        SetLastError(ERROR_INVALID_ACL);
        return FALSE;
    }
    if (!ValidSid(pSid, SECURITY_MAX_SID_SIZE)) {
        SetLastError(ERROR_INVALID_SID);
        return FALSE;
    }
    size_t sidLen = SidLength(pSid);
    std::vector<BYTE> ace(8 + sidLen);
    ACE_HEADER header{type, BYTE(flags), WORD(ace.size())};
    std::memcpy(ace.data(), &header, 4);
    std::memcpy(ace.data() + 4, &mask, 4);
    std::memcpy(ace.data() + 8, pSid, sidLen);
    DWORD inUse = pAcl->AceCount ? DWORD(AceCountFits(pAcl)) : DWORD(sizeof(ACL));
    if (inUse + ace.size() > pAcl->AclSize) {
        SetLastError(ERROR_ALLOTTED_SPACE_EXCEEDED);
        return FALSE;
    }
    std::memcpy(reinterpret_cast<BYTE *>(pAcl) + inUse, ace.data(), ace.size());
    ++pAcl->AceCount;
    return TRUE;
}

BOOL WINAPI AddAccessAllowedAce(PACL pAcl, DWORD dwAceRevision, DWORD AccessMask, PSID pSid) {
    return AppendAce(pAcl, ACCESS_ALLOWED_ACE_TYPE, 0, AccessMask, pSid);
}

BOOL WINAPI AddAccessAllowedAceEx(PACL pAcl, DWORD dwAceRevision, DWORD AceFlags, DWORD AccessMask, PSID pSid) {
    return AppendAce(pAcl, ACCESS_ALLOWED_ACE_TYPE, AceFlags, AccessMask, pSid);
}

BOOL WINAPI AddAccessDeniedAce(PACL pAcl, DWORD dwAceRevision, DWORD AccessMask, PSID pSid) {
    return AppendAce(pAcl, ACCESS_DENIED_ACE_TYPE, 0, AccessMask, pSid);
}

BOOL WINAPI GetUserNameW(LPWSTR lpBuffer, LPDWORD pcbBuffer) {
    SIM_USER_LOCK();
    if (FailAsScripted("GetUserNameW")) return FALSE;
    if (!pcbBuffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::u16string &name = g_security.userName;
    if (!lpBuffer || *pcbBuffer < name.size() + 1) {
        *pcbBuffer = DWORD(name.size() + 1);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    CopyOut(name, lpBuffer, *pcbBuffer);
    *pcbBuffer = DWORD(name.size() + 1);
    return TRUE;
}

BOOL WINAPI LookupAccountNameW(LPCWSTR lpSystemName, LPCWSTR lpAccountName, PSID Sid, LPDWORD cbSid,
                               LPWSTR ReferencedDomainName, LPDWORD cchReferencedDomainName, PSID_NAME_USE peUse) {
    SIM_USER_LOCK();
    if (FailAsScripted("LookupAccountNameW")) return FALSE;
    if (!lpAccountName || !cbSid || !cchReferencedDomainName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::u16string wanted(View(lpAccountName)), domain;
    size_t slash = wanted.find(u'\\');
    if (slash != std::u16string::npos) {
        domain = wanted.substr(0, slash);
        wanted = wanted.substr(slash + 1);
    }
    for (auto &account : Accounts()) {
        if (!EqualNoCase(account.name, wanted) || (!domain.empty() && !EqualNoCase(account.domain, domain))) continue;
        std::vector<BYTE> sid = sim::user::SidFromText(account.sid);
        bool sidFits = Sid && *cbSid >= sid.size();
        bool domainFits = ReferencedDomainName && *cchReferencedDomainName >= account.domain.size() + 1;
        if (!sidFits || !domainFits) {
            *cbSid = DWORD(sid.size());
            *cchReferencedDomainName = DWORD(account.domain.size() + 1);
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        std::memcpy(Sid, sid.data(), sid.size());
        *cbSid = DWORD(sid.size());
        CopyOut(account.domain, ReferencedDomainName, *cchReferencedDomainName);
        *cchReferencedDomainName = DWORD(account.domain.size());
        if (peUse) *peUse = account.use;
        return TRUE;
    }
    SetLastError(ERROR_NONE_MAPPED);
    return FALSE;
}

DWORD WINAPI GetSecurityDescriptorLength(PSECURITY_DESCRIPTOR pSecurityDescriptor) {
    DescriptorParts parts;
    if (!ReadParts(pSecurityDescriptor, &parts)) return 0;
    DWORD len = (parts.control & SE_SELF_RELATIVE) ? sizeof(SECURITY_DESCRIPTOR_RELATIVE) : sizeof(SECURITY_DESCRIPTOR);
    if (parts.owner) len += DWORD(SidLength(parts.owner));
    if (parts.dacl) len += parts.dacl->AclSize;
    return len;
}

}  // extern "C"

// ======================================================================================
// Descriptor conversion for the registry
// ======================================================================================

namespace sim::user::detail {

std::vector<BYTE> SelfRelative(const StoredSecurity &security, SECURITY_INFORMATION info) {
    std::vector<BYTE> out(sizeof(SECURITY_DESCRIPTOR_RELATIVE));
    SECURITY_DESCRIPTOR_RELATIVE rel{SECURITY_DESCRIPTOR_REVISION, 0, SE_SELF_RELATIVE, 0, 0, 0, 0};
    if ((info & OWNER_SECURITY_INFORMATION) && !security.owner.empty()) {
        rel.Owner = DWORD(out.size());
        out.insert(out.end(), security.owner.begin(), security.owner.end());
    }
    if (info & DACL_SECURITY_INFORMATION) {
        if (security.daclKind != DaclKind::Absent) rel.Control |= SE_DACL_PRESENT;
        if (security.daclKind == DaclKind::List) {
            rel.Dacl = DWORD(out.size());
            out.insert(out.end(), security.dacl.begin(), security.dacl.end());
        }
    }
    std::memcpy(out.data(), &rel, sizeof rel);
    return out;
}

// Takes the parts that info names from a descriptor in either form into the stored security.
DWORD ApplyDescriptor(const void *sd, SECURITY_INFORMATION info, StoredSecurity *security) {
    DescriptorParts parts;
    if (!ReadParts(sd, &parts)) return ERROR_INVALID_SECURITY_DESCR;
    if (info & OWNER_SECURITY_INFORMATION) {
        if (!parts.owner || !ValidSid(const_cast<void *>(parts.owner), SECURITY_MAX_SID_SIZE)) return ERROR_INVALID_SECURITY_DESCR;
        auto *o = static_cast<const BYTE *>(parts.owner);
        security->owner.assign(o, o + SidLength(o));
    }
    if (info & DACL_SECURITY_INFORMATION) {
        if (!(parts.control & SE_DACL_PRESENT) || !parts.dacl) {
            security->daclKind = DaclKind::Null;  // absent or null: nobody is refused
            security->dacl.clear();
        } else {
            if (!ValidAcl(parts.dacl)) return ERROR_INVALID_ACL;
            security->daclKind = DaclKind::List;
            auto *a = reinterpret_cast<const BYTE *>(parts.dacl);
            security->dacl.assign(a, a + parts.dacl->AclSize);
        }
    }
    return ERROR_SUCCESS;
}

}  // namespace sim::user::detail
