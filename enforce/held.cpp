// SPDX-License-Identifier: GPL-2.0-or-later
#include "held.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace {

// mountinfo's octal escapes (\040 for a space) undone.
std::string unescaped(const std::string &field)
{
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            out += static_cast<char>(std::stoi(field.substr(i + 1, 3), nullptr, 8));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

// Where the mount with this id is mounted, in this process's namespace.
std::string mount_point(int mount_id)
{
    std::ifstream f("/proc/self/mountinfo");
    std::string line;
    while (std::getline(f, line)) {
        std::istringstream fields(line);
        int id = -1;
        std::string parent, devno, root, point;
        if (fields >> id >> parent >> devno >> root >> point && id == mount_id)
            return unescaped(point);
    }
    return "";
}

// An O_PATH descriptor of the held object, when it still exists.
int open_object(const HeldObject &h)
{
    const std::string point = mount_point(h.handle.mount_id);
    if (point.empty())
        return -ENOENT;
    // open_by_handle_at takes no O_PATH descriptor of the mount.
    QvFd mount_fd(open(point.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (mount_fd.fd < 0 || fstat(mount_fd.fd, &st) < 0)
        return -errno;
    if (kernel_dev(st.st_dev) != h.dev)
        return -ESTALE;  // the id went to another mount
    union {
        file_handle fh;
        char space[sizeof(file_handle) + MAX_HANDLE_SZ];
    } buf{};
    if (h.handle.bytes.size() > MAX_HANDLE_SZ)
        return -EINVAL;
    buf.fh.handle_bytes = static_cast<unsigned>(h.handle.bytes.size());
    buf.fh.handle_type = h.handle.type;
    std::memcpy(buf.fh.f_handle, h.handle.bytes.data(), h.handle.bytes.size());
    QvFd fd(open_by_handle_at(mount_fd.fd, &buf.fh, O_PATH | O_CLOEXEC));
    if (fd.fd < 0)
        return -errno;
    if (fstat(fd.fd, &st) < 0 || kernel_dev(st.st_dev) != h.dev || st.st_ino != h.ino || st.st_nlink == 0)
        return -ESTALE;
    int out = fd.fd;
    fd.fd = -1;
    return out;
}

std::string hex(const std::string &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string unhex(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        out += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
    return out;
}

std::vector<Moved> keep_objects(Held *held, Policy *policy, std::vector<std::string> *notes)
{
    std::set<std::pair<uint32_t, uint64_t>> current;
    for (const auto &o : policy->objects)
        current.insert({o.dev, o.ino});
    std::vector<HeldObject> next;
    std::vector<Moved> moved;
    for (const HeldObject &h : held->objects) {
        if (!policy->rules.count(h.path) || current.count({h.dev, h.ino}))
            continue;  // its profile is gone, or a path leads to it
        if (h.handle.bytes.empty()) {
            notes->push_back(h.path + " no longer leads to the object it protected, which its file system "
                                      "cannot follow; that object is protected no more");
            continue;
        }
        QvFd fd(open_object(h));
        if (fd.fd < 0 || next.size() >= QV_HELD_OBJECTS_MAX)
            continue;  // gone
        policy_keep_object(policy, h.path, h.dev, h.ino);
        moved.push_back({h.path, real_path_of(fd.fd)});
        next.push_back(h);
    }
    for (const auto &o : policy->objects)
        if (next.size() < QV_HELD_OBJECTS_MAX)
            next.push_back({o.path, o.dev, o.ino, o.handle});
    held->objects = std::move(next);
    return moved;
}

void keep_programs(Held *held, Policy *policy)
{
    std::map<std::string, std::vector<HeldProgram>> before;  // by program: current first, then newest earlier
    for (auto &h : held->programs)
        before[h.app].push_back(h);
    std::vector<HeldProgram> next;
    for (const auto &listing : policy->program_numbers) {
        const std::string &app = listing.first;
        std::vector<HeldProgram> &was = before[app];
        auto now = policy->programs.find(app);
        auto is_now = [&](const HeldProgram &h) {
            return now != policy->programs.end() && h.dev == now->second.first && h.ino == now->second.second;
        };
        std::vector<HeldProgram> kept;
        auto current = std::find_if(was.begin(), was.end(), is_now);
        if (current != was.end()) {
            kept.push_back(*current);
        } else if (now != policy->programs.end() && next.size() < QV_HELD_PROGRAMS_MAX) {
            auto fd = std::make_shared<QvFd>(open(app.c_str(), O_PATH | O_CLOEXEC));
            struct stat st;
            if (fd->fd >= 0 && fstat(fd->fd, &st) == 0 && kernel_dev(st.st_dev) == now->second.first &&
                st.st_ino == now->second.second)
                kept.push_back({app, now->second.first, now->second.second, fd, false});
        }
        size_t earlier = 0;
        for (const HeldProgram &h : was) {
            if (is_now(h) || ++earlier > QV_HELD_EARLIER_MAX)
                continue;
            kept.push_back(h);
            kept.back().earlier = true;
            policy_keep_program(policy, app, h.dev, h.ino);
        }
        for (const HeldProgram &h : kept)
            if (next.size() < QV_HELD_PROGRAMS_MAX)
                next.push_back(h);
    }
    held->programs = std::move(next);
}

}  // namespace

std::vector<Moved> held_apply(Held *held, Policy *policy, std::vector<std::string> *notes)
{
    keep_programs(held, policy);
    return keep_objects(held, policy, notes);
}

nlohmann::json held_to_json(const Held &held)
{
    nlohmann::json objects = nlohmann::json::array();
    for (const auto &h : held.objects)
        objects.push_back({{"path", h.path}, {"dev", h.dev}, {"ino", h.ino}, {"handle", hex(h.handle.bytes)},
                           {"type", h.handle.type}, {"mount", h.handle.mount_id}});
    return objects;
}

void held_from_json(Held *held, const nlohmann::json &j)
{
    if (!j.is_array())
        return;
    for (const auto &o : j) {
        try {
            held->objects.push_back({o.at("path").get<std::string>(), o.at("dev").get<uint32_t>(),
                                     o.at("ino").get<uint64_t>(),
                                     {unhex(o.at("handle").get<std::string>()), o.at("type").get<int>(),
                                      o.at("mount").get<int>()}});
        } catch (const nlohmann::json::exception &) {
            // A line this image does not understand is let go.
        }
    }
}

nlohmann::json held_programs_for_exec(const Held &held)
{
    nlohmann::json programs = nlohmann::json::array();
    for (const auto &h : held.programs) {
        int flags = fcntl(h.fd->fd, F_GETFD);
        if (flags < 0 || fcntl(h.fd->fd, F_SETFD, flags & ~FD_CLOEXEC) < 0)
            continue;
        programs.push_back({{"app", h.app}, {"dev", h.dev}, {"ino", h.ino}, {"fd", h.fd->fd}, {"earlier", h.earlier}});
    }
    return programs;
}

void held_programs_adopt(Held *held, const nlohmann::json &j)
{
    if (!j.is_array())
        return;
    for (const auto &p : j) {
        try {
            const int fd = p.at("fd").get<int>();
            struct stat st;
            if (fd < 3 || fstat(fd, &st) < 0 || kernel_dev(st.st_dev) != p.at("dev").get<uint32_t>() ||
                st.st_ino != p.at("ino").get<uint64_t>())
                continue;
            fcntl(fd, F_SETFD, FD_CLOEXEC);
            held->programs.push_back({p.at("app").get<std::string>(), p.at("dev").get<uint32_t>(),
                                      p.at("ino").get<uint64_t>(), std::make_shared<QvFd>(fd),
                                      p.at("earlier").get<bool>()});
        } catch (const nlohmann::json::exception &) {
        }
    }
}
