#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "SysUtils.h"

namespace kiva {

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

// The abstract byte stream every reader and writer of the program works on. Counts and
// positions are 64-bit so that archives beyond 2 GiB read like small ones.
class TStream {
public:
    TStream() = default;
    TStream(const TStream&) = delete;
    TStream& operator=(const TStream&) = delete;
    virtual ~TStream() = default;

    // Reads up to count bytes; returns how many were delivered (0 at the end).
    virtual std::int64_t Read(void* buffer, std::int64_t count) = 0;
    virtual std::int64_t Write(const void* buffer, std::int64_t count) = 0;
    virtual std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) = 0;
    virtual std::int64_t Size();
    virtual void SetSize(std::int64_t newSize);

    std::int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
    void SetPosition(std::int64_t pos) { Seek(pos, TSeekOrigin::soBeginning); }

    // Exactly count bytes or EReadError ("Stream read error").
    void ReadBuffer(void* buffer, std::int64_t count);
    // Exactly count bytes or EWriteError ("Stream write error").
    void WriteBuffer(const void* buffer, std::int64_t count);
    // Copies count bytes from source's current position; count 0 copies the whole of source
    // from its start. A source that ends early raises EReadError.
    std::int64_t CopyFrom(TStream& source, std::int64_t count);
};

// A growable in-memory buffer with a position.
class TMemoryStream : public TStream {
public:
    TMemoryStream() = default;
    std::int64_t Read(void* buffer, std::int64_t count) override;
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
    std::int64_t Size() override { return size_; }
    void SetSize(std::int64_t newSize) override;

    // Room reserved ahead of writes, so that a caller who knows the final size pays for one
    // allocation only.
    void SetCapacity(std::int64_t capacity);
    std::int64_t Capacity() const { return capacity_; }
    void Clear();
    std::uint8_t* Memory() { return data_.get(); }
    const std::uint8_t* Memory() const { return data_.get(); }

    void LoadFromFile(const std::string& fileName);
    void SaveToFile(const std::string& fileName);

private:
    struct FreeDeleter {
        void operator()(std::uint8_t* p) const noexcept { std::free(p); }
    };
    std::unique_ptr<std::uint8_t, FreeDeleter> data_;
    std::int64_t size_ = 0;
    std::int64_t capacity_ = 0;
    std::int64_t position_ = 0;
};

// Open modes as the program's file streams take them: an access mode or'ed with a share mode.
inline constexpr unsigned fmCreate = 0xFF00;
inline constexpr unsigned fmOpenRead = 0x0000;
inline constexpr unsigned fmOpenWrite = 0x0001;
inline constexpr unsigned fmOpenReadWrite = 0x0002;
inline constexpr unsigned fmShareExclusive = 0x0010;
inline constexpr unsigned fmShareDenyWrite = 0x0020;
inline constexpr unsigned fmShareDenyNone = 0x0040;

// A file opened for the life of the object. Opening failures raise EFOpenError (or
// EFCreateError for fmCreate) naming the file and the system's reason.
class TFileStream : public TStream {
public:
    TFileStream(const std::string& fileName, unsigned mode);
    ~TFileStream() override;
    std::int64_t Read(void* buffer, std::int64_t count) override;
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
    void SetSize(std::int64_t newSize) override;
    const std::string& FileName() const { return fileName_; }
    int Handle() const { return fd_; }

private:
    std::string fileName_;
    int fd_ = -1;
};

// An ordered list of strings.
class TStringList {
public:
    int Add(std::string s) {
        items_.push_back(std::move(s));
        return static_cast<int>(items_.size()) - 1;
    }
    int Count() const { return static_cast<int>(items_.size()); }
    const std::string& operator[](int i) const { return items_.at(static_cast<std::size_t>(i)); }
    std::string& operator[](int i) { return items_.at(static_cast<std::size_t>(i)); }
    void Clear() { items_.clear(); }
    int IndexOf(const std::string& s) const;
    void AddStrings(const TStringList& other);
    const std::vector<std::string>& Items() const { return items_; }

private:
    std::vector<std::string> items_;
};

// Base of the program's non-visual and visual components: an owner that destroys what it
// owns, a name, and a flag that tells event code the component is going away.
class TComponent {
public:
    explicit TComponent(TComponent* owner);
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;
    virtual ~TComponent();

    TComponent* Owner() const { return owner_; }
    const std::string& Name() const { return name_; }
    void SetName(std::string name) { name_ = std::move(name); }
    bool IsDestroying() const { return destroying_; }
    int ComponentCount() const { return static_cast<int>(components_.size()); }
    TComponent* Components(int i) const { return components_.at(static_cast<std::size_t>(i)); }

protected:
    // Marks this component and everything it owns as being destroyed. Derived destructors
    // call it first so that their own clean-up raises no events.
    void Destroying();
    // Destroys the owned components, last first. An owner whose children call back into it
    // calls this from its own destructor, while its members are still alive.
    void DestroyComponents();

private:
    void Remove(TComponent* child);

    TComponent* owner_;
    std::string name_;
    bool destroying_ = false;
    std::vector<TComponent*> components_;
};

} // namespace kiva
