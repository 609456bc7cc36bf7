// The steps of the request handlers that need no store: the permission
// rule, token ids for new items and the random prefix of a plaintext.
#include "RequestHandlers.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace {

// The groups of an account, at most 16; none for an unknown account.
std::vector<gid_t> GroupsOf(uid_t uid)
{
    passwd entry;
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
        return {};
    std::vector<gid_t> groups(16);
    int count = static_cast<int>(groups.size());
    if (getgrouplist(entry.pw_name, entry.pw_gid, groups.data(), &count) < 0)
        return {};
    groups.resize(static_cast<size_t>(count));
    return groups;
}

bool ShareAGroup(uid_t caller, uid_t owner)
{
    const std::vector<gid_t> ownerGroups = GroupsOf(owner);
    for (gid_t group : GroupsOf(caller)) {
        for (gid_t ownerGroup : ownerGroups) {
            if (group == ownerGroup)
                return true;
        }
    }
    return false;
}

}  // namespace

namespace RequestSteps {

bool AccessDenied(quint32 caller, quint32 owner, quint16 mode, char operation)
{
    const quint16 others = operation == 'r' ? 0004 : 0002;
    const quint16 ownerBit = operation == 'r' ? 0400 : 0200;
    const quint16 groupBit = operation == 'r' ? 0040 : 0020;
    if (mode & others)
        return false;
    if (caller == owner && (mode & ownerBit))
        return false;
    if ((mode & groupBit) && ShareAGroup(caller, owner))
        return false;
    return true;
}

quint32 GenerateToken()
{
    static quint32 counter = 1;
    if (counter == 0)
        counter = 1;
    return counter++;
}

const unsigned char* GetRandom(int count)
{
    static unsigned char buffer[16];
    CryptoUtils::rnd(static_cast<unsigned>(count), buffer);
    return buffer;
}

}  // namespace RequestSteps
