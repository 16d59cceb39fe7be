#include "data/json.h"

#include "data/json_rapid.h"
#include "frame/boundary.h"
#include "frame/ref_counted.h"
#include "frame/services.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace ka {
namespace {

using json::Value;
using Member = Value::Member;
using rapidjson::SizeType;

// RapidJSON keeps lengths in 32 bits and reserves length + 1 bytes for a
// copy, so a longer text is refused rather than cut or wrapped.
constexpr size_t kMaxTextBytes = UINT32_MAX - 1;
// The writer reserves 2 + 6 * length bytes for a string in 32-bit
// arithmetic; a longer string would wrap that reservation and overrun the
// buffer, so it ends the write instead.
constexpr SizeType kMaxWrittenBytes = (UINT32_MAX - 2) / 6;
// What a write that failed returns: no JSON value is written as nothing.
constexpr const char* kNoText = "";

// Room for the cursor of a typical document without growing.
constexpr size_t kCursorReserve = 32;

// A text too long for a value gets a length above kMaxTextBytes, so a later
// test of the length alone refuses it as well.
bool MeasureText(const char* text, SizeType* length) {
    size_t bytes = std::strlen(text);
    *length = static_cast<SizeType>(std::min<size_t>(bytes, UINT32_MAX));
    return bytes <= kMaxTextBytes;
}

// RapidJSON's recursive reader is its fastest, and its iterative reader
// accepts the same grammar with its state on the heap. A text is read
// recursively down to this many levels (some 16 KiB of stack at 128 bytes a
// level, as measured), and only a text that nests deeper is read again,
// iteratively, so no nesting can exhaust the caller's stack.
constexpr unsigned kRecursionLimit = 128;

// The reader's events, passed on to the document; opening a container below
// kRecursionLimit levels stops the read instead.
class DepthLimit {
public:
    explicit DepthLimit(json::Document& document) : document_(document) {}
    bool tooDeep() const { return tooDeep_; }

    bool Null() { return document_.Null(); }
    bool Bool(bool flag) { return document_.Bool(flag); }
    bool Int(int number) { return document_.Int(number); }
    bool Uint(unsigned number) { return document_.Uint(number); }
    bool Int64(int64_t number) { return document_.Int64(number); }
    bool Uint64(uint64_t number) { return document_.Uint64(number); }
    bool Double(double number) { return document_.Double(number); }
    bool RawNumber(const char* text, SizeType length, bool copy) {
        return document_.RawNumber(text, length, copy);
    }
    bool String(const char* text, SizeType length, bool copy) {
        return document_.String(text, length, copy);
    }
    bool Key(const char* text, SizeType length, bool copy) {
        return document_.Key(text, length, copy);
    }
    bool StartObject() { return Open() && document_.StartObject(); }
    bool EndObject(SizeType members) {
        --depth_;
        return document_.EndObject(members);
    }
    bool StartArray() { return Open() && document_.StartArray(); }
    bool EndArray(SizeType elements) {
        --depth_;
        return document_.EndArray(elements);
    }

private:
    bool Open() {
        if (++depth_ <= kRecursionLimit) return true;
        tooDeep_ = true;
        return false;
    }

    json::Document& document_;
    unsigned depth_ = 0;
    bool tooDeep_ = false;
};

// Fills a document (through Document::Populate) by RapidJSON's default,
// recursive reader within the depth limit.
template <typename Stream>
struct LimitedRead {
    Stream text;
    json::Heap* heap;
    bool parsed = false;
    bool tooDeep = false;

    bool operator()(json::Document& document) {
        rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>, json::Heap> reader(heap);
        DepthLimit handler(document);
        parsed = !reader.Parse<rapidjson::kParseDefaultFlags>(text, handler).IsError();
        tooDeep = handler.tooDeep();
        return parsed;
    }
};

// Where the iterative writer is inside a container: the next member or
// element and the end. An empty container never gets a frame.
struct WriteFrame {
    const Member* member = nullptr;  // objects
    const Member* memberEnd = nullptr;
    const Value* element = nullptr;  // arrays
    const Value* elementEnd = nullptr;
};

class Json final : public RefCounted<Json, KaJson> {
public:
    Json()
        : pool_(json::kChunkBytes, &heap_),
          document_(&pool_, json::kParseStackBytes, &heap_),
          output_(&heap_, json::kOutputBytes),
          writer_(output_, &heap_) {
        cursor_.reserve(kCursorReserve);  // throws before anything else is held
        Reset();
    }

    size_t GetMemoryUsage() override { return pool_.Size(); }

    // Never fails: clearing frees, and the cursor always has room for the root.
    bool Reset() override {
        document_.SetNull();
        pool_.Clear();
        cursor_.clear();
        cursor_.push_back(&document_);
        output_.Clear();
        return true;
    }

    bool Parse(const char* text, size_t length) override {
        if (text == nullptr) return false;
        // A UTF-8 byte-order mark, byte by byte: a text may lose a lone 0xBB
        // or 0xBF as well.
        size_t skipped = 0;
        for (unsigned char mark : {0xEFu, 0xBBu, 0xBFu}) {
            if (skipped < length && static_cast<unsigned char>(text[skipped]) == mark) ++skipped;
        }
        // A plain memory stream: RapidJSON's own length-taking Parse would
        // skip a second mark after ours.
        return ParseStream(rapidjson::MemoryStream(text + skipped, length - skipped));
    }

    bool Parse(const char* text) override {
        if (text == nullptr) return false;
        return ParseStream(rapidjson::StringStream(text));
    }

    const char* Write() override { return WriteCurrent(json::kMaxDecimalPlaces); }

    const char* WriteWithMaxDecimalPlaces(uint32_t maxDecimalPlaces) override {
        // RapidJSON's number formatting needs at least one place; 0 would
        // give the same text as 1 anyway.
        return WriteCurrent(std::clamp(maxDecimalPlaces, 1u, json::kMaxDecimalPlaces));
    }

    bool IsArray() override { return Test(&Value::IsArray); }
    bool IsBool() override { return Test(&Value::IsBool); }
    bool IsDouble() override { return Test(&Value::IsDouble); }
    bool IsFalse() override { return Test(&Value::IsFalse); }
    bool IsFloat() override { return Test(&Value::IsFloat); }
    bool IsInt() override { return Test(&Value::IsInt); }
    bool IsInt64() override { return Test(&Value::IsInt64); }
    bool IsLosslessDouble() override { return Test(&Value::IsLosslessDouble); }
    bool IsLosslessFloat() override { return Test(&Value::IsLosslessFloat); }
    bool IsNull() override { return Test(&Value::IsNull); }
    bool IsNumber() override { return Test(&Value::IsNumber); }
    bool IsObject() override { return Test(&Value::IsObject); }
    bool IsTrue() override { return Test(&Value::IsTrue); }
    bool IsUint() override { return Test(&Value::IsUint); }
    bool IsUint64() override { return Test(&Value::IsUint64); }
    bool IsString() override { return Test(&Value::IsString); }

    bool IsAtRoot() override { return cursor_.size() == 1; }

    bool Back(uint32_t count) override {
        size_t levels = cursor_.size() > 1 ? cursor_.size() - 1 : 0;
        CutCursor(cursor_.size() - std::min<size_t>(count, levels));
        return true;
    }

    bool Back() override { return Back(1); }

    bool BackToRoot() override {
        if (cursor_.size() < 2) return false;
        CutCursor(1);
        return true;
    }

    uint32_t GetDepth() override { return static_cast<uint32_t>(cursor_.size()); }

    bool HasMember(const char* name) override {
        Value* object = CurrentObject();
        SizeType length;
        return name != nullptr && object != nullptr &&
               FindMember(*object, name, &length) != object->MemberEnd();
    }

    KaJson* VisitMember(const char* name) override {
        if (name == nullptr) {
            Log()->PrintfW(LogCategory::ERROR, 0,
                           L"KaJson::VisitMember: Error in traversing JSON DOM tree: "
                           L"Member is null");
            return nullptr;
        }
        Value* object = CurrentObject();
        if (object == nullptr) {
            Log()->PrintfW(LogCategory::ERROR, 0,
                           L"KaJson::VisitMember: Error in traversing JSON DOM tree: "
                           L"Value is not an Object");
            return nullptr;
        }
        SizeType length;
        Value::MemberIterator member = FindMember(*object, name, &length);
        if (member == object->MemberEnd()) return nullptr;  // a question, not an error
        return Boundary(static_cast<KaJson*>(nullptr), [&] {
            cursor_.push_back(&member->value);
            return this;
        });
    }

    bool ForEachMember(MemberVisitor visitor, uintptr_t context, bool stopOnTrue) override {
        Value* object = CurrentObject();
        if (visitor == nullptr || object == nullptr) return false;
        // Room for the member's level first: the pushes below cannot fail,
        // and no exception of ours surrounds the caller's visitor.
        const size_t depth = cursor_.size();
        if (!Boundary(false, [&] { return cursor_.reserve(depth + 1), true; })) return false;
        // By index, re-checked each time: a visitor that breaks its promise
        // and adds or removes members cannot make this read past the end.
        for (SizeType i = 0; object->IsObject() && i < object->MemberCount(); ++i) {
            Member& member = object->MemberBegin()[i];
            cursor_.push_back(&member.value);
            bool stop = visitor(member.name.GetString(), this, context);
            // Put the cursor back where the walk needs it; if the visitor left
            // the object altogether, the walk cannot go on.
            if (cursor_.size() < depth || cursor_[depth - 1] != object) return false;
            CutCursor(depth);
            if (stop && stopOnTrue) break;
        }
        return true;
    }

    bool VisitObjectMember(const char* name) override {
        return VisitNewMember(name, rapidjson::kObjectType);
    }

    bool VisitArrayMember(const char* name) override {
        return VisitNewMember(name, rapidjson::kArrayType);
    }

    bool SetMemberStringRef(const char* name, const char* text) override {
        return SetMember(name, [&](Value& value) { return MakeStringRef(text, value); });
    }
    bool SetMemberUint64(const char* name, uint64_t number) override {
        return SetMember(name, [&](Value& value) { return value.SetUint64(number), true; });
    }
    bool SetMemberUint(const char* name, uint32_t number) override {
        return SetMember(name, [&](Value& value) { return value.SetUint(number), true; });
    }
    bool SetMemberInt64(const char* name, int64_t number) override {
        return SetMember(name, [&](Value& value) { return value.SetInt64(number), true; });
    }
    bool SetMemberInt(const char* name, int32_t number) override {
        return SetMember(name, [&](Value& value) { return value.SetInt(number), true; });
    }
    bool SetMemberDouble(const char* name, double number) override {
        return SetMember(name, [&](Value& value) { return value.SetDouble(number), true; });
    }
    bool SetMemberBool(const char* name, bool flag) override {
        return SetMember(name, [&](Value& value) { return value.SetBool(flag), true; });
    }
    bool SetMemberString(const char* name, const char* text) override {
        return SetMember(name, [&](Value& value) { return MakeStringCopy(text, value); });
    }
    bool SetMemberNull(const char* name) override {
        return SetMember(name, [](Value& value) { return value.SetNull(), true; });
    }

    bool RemoveMember(const char* name) override {
        Value* object = CurrentObject();
        if (name == nullptr || object == nullptr) return false;
        // RapidJSON moves the last member into the gap: order is not kept.
        SizeType length;
        Value::MemberIterator member = FindMember(*object, name, &length);
        if (member != object->MemberEnd()) object->RemoveMember(member);
        return true;
    }

    bool RemoveAllMembers() override {
        Value* object = CurrentObject();
        if (object == nullptr) return false;
        object->RemoveAllMembers();
        return true;
    }

    KaJson* VisitAt(uint32_t index) override {
        Value* array = CurrentArray();
        if (array == nullptr) {
            Log()->PrintfW(LogCategory::ERROR, 0,
                           L"KaJson::VisitAt: Failed to traverse JSON DOM tree: "
                           L"Value is not an Array");
            return nullptr;
        }
        if (index >= array->Size()) {
            Log()->PrintfW(LogCategory::ERROR, 0,
                           L"KaJson::VisitAt: Failed to traverse JSON DOM tree: Out of bounds");
            return nullptr;
        }
        return Boundary(static_cast<KaJson*>(nullptr), [&] {
            cursor_.push_back(&(*array)[index]);
            return this;
        });
    }

    // Other values have no size: 0.
    uint32_t Size() override {
        Value* value = Current();
        if (value == nullptr) return 0;
        if (value->IsArray()) return value->Size();
        if (value->IsObject()) return value->MemberCount();
        return 0;
    }

    bool Clear() override {
        Value* array = CurrentArray();
        if (array == nullptr) return false;
        array->Clear();
        return true;
    }

    bool PushBackObject() override { return PushBackContainer(rapidjson::kObjectType); }
    bool PushBackArray() override { return PushBackContainer(rapidjson::kArrayType); }

    bool PushBackStringRef(const char* text) override {
        return Append([&](Value& value) { return MakeStringRef(text, value); });
    }
    bool PushBackUint64(uint64_t number) override {
        return Append([&](Value& value) { return value.SetUint64(number), true; });
    }
    bool PushBackUint(uint32_t number) override {
        return Append([&](Value& value) { return value.SetUint(number), true; });
    }
    bool PushBackInt64(int64_t number) override {
        return Append([&](Value& value) { return value.SetInt64(number), true; });
    }
    bool PushBackInt(int32_t number) override {
        return Append([&](Value& value) { return value.SetInt(number), true; });
    }
    bool PushBackDouble(double number) override {
        return Append([&](Value& value) { return value.SetDouble(number), true; });
    }
    bool PushBackBool(bool flag) override {
        return Append([&](Value& value) { return value.SetBool(flag), true; });
    }
    bool PushBackString(const char* text) override {
        return Append([&](Value& value) { return MakeStringCopy(text, value); });
    }

    // An empty array stays as it is, and says that nothing was removed.
    bool PopBack() override {
        Value* array = CurrentArray();
        if (array == nullptr || array->Empty()) return false;
        array->PopBack();
        return true;
    }

    bool SetObject() override {
        return SetCurrent([](Value& value) { return value.SetObject(), true; });
    }
    bool SetArray() override {
        return SetCurrent([](Value& value) { return value.SetArray(), true; });
    }
    bool SetStringRef(const char* text) override {
        return SetCurrent([&](Value& value) { return MakeStringRef(text, value); });
    }
    bool SetUint64(uint64_t number) override {
        return SetCurrent([&](Value& value) { return value.SetUint64(number), true; });
    }
    bool SetUint(uint32_t number) override {
        return SetCurrent([&](Value& value) { return value.SetUint(number), true; });
    }
    bool SetInt64(int64_t number) override {
        return SetCurrent([&](Value& value) { return value.SetInt64(number), true; });
    }
    bool SetInt(int32_t number) override {
        return SetCurrent([&](Value& value) { return value.SetInt(number), true; });
    }
    bool SetDouble(double number) override {
        return SetCurrent([&](Value& value) { return value.SetDouble(number), true; });
    }
    bool SetBool(bool flag) override {
        return SetCurrent([&](Value& value) { return value.SetBool(flag), true; });
    }
    bool SetString(const char* text) override {
        return SetCurrent([&](Value& value) { return MakeStringCopy(text, value); });
    }

    // Getters answer only for a value of their own type (and GetDouble for
    // any number); RapidJSON's would read another type's bits.
    bool GetBool() override { return Test(&Value::IsTrue); }
    double GetDouble() override {
        Value* value = Current();
        return value != nullptr && value->IsNumber() ? value->GetDouble() : 0.0;
    }
    int32_t GetInt() override {
        Value* value = Current();
        return value != nullptr && value->IsInt() ? value->GetInt() : 0;
    }
    int64_t GetInt64() override {
        Value* value = Current();
        return value != nullptr && value->IsInt64() ? value->GetInt64() : 0;
    }
    uint32_t GetUint() override {
        Value* value = Current();
        return value != nullptr && value->IsUint() ? value->GetUint() : 0;
    }
    uint64_t GetUint64() override {
        Value* value = Current();
        return value != nullptr && value->IsUint64() ? value->GetUint64() : 0;
    }
    const char* GetString() override {
        Value* value = Current();
        return value != nullptr && value->IsString() ? value->GetString() : kNoText;
    }

private:
    // Shortens the cursor to depth entries (never lengthens it).
    void CutCursor(size_t depth) { cursor_.erase(cursor_.begin() + depth, cursor_.end()); }

    Value* Current() { return cursor_.empty() ? nullptr : cursor_.back(); }
    Value* CurrentObject() {
        Value* value = Current();
        return value != nullptr && value->IsObject() ? value : nullptr;
    }
    Value* CurrentArray() {
        Value* value = Current();
        return value != nullptr && value->IsArray() ? value : nullptr;
    }
    bool Test(bool (Value::*test)() const) {
        Value* value = Current();
        return value != nullptr && (value->*test)();
    }

    // The first member of that name, by exact bytes (MemberEnd when there is
    // none); *length receives the name's length.
    static Value::MemberIterator FindMember(Value& object, const char* name, SizeType* length) {
        if (!MeasureText(name, length)) return object.MemberEnd();
        return object.FindMember(Value(rapidjson::StringRef(name, *length)));
    }

    // Strings: a null text is the empty string.
    static bool MakeStringRef(const char* text, Value& value) {
        SizeType length = 0;
        if (text != nullptr && !MeasureText(text, &length)) return false;
        value.SetString(rapidjson::StringRef(text != nullptr ? text : kNoText, length));
        return true;
    }
    bool MakeStringCopy(const char* text, Value& value) {
        SizeType length = 0;
        if (text != nullptr && !MeasureText(text, &length)) return false;
        value.SetString(text != nullptr ? text : kNoText, length, pool_);
        return true;
    }

    // Reads the text recursively while it nests at most kRecursionLimit
    // levels deep, and reads it again iteratively when it nests deeper.
    template <typename Stream>
    bool ParseStream(const Stream& text) {
        return Boundary(false, [&] {
            bool parsed;
            try {
                Reset();
                LimitedRead<Stream> read{text, &heap_};
                document_.Populate(read);
                parsed = read.parsed;
                if (read.tooDeep) {
                    Reset();
                    Stream again = text;
                    document_.ParseStream<json::kIterativeParseFlags, rapidjson::UTF8<>>(again);
                    parsed = !document_.HasParseError();
                }
            } catch (...) {
                Reset();
                throw;
            }
            // Invalid text: the root stays null, and what the attempt took
            // from the pool goes back at once.
            if (!parsed) Reset();
            return true;
        });
    }

    // RapidJSON raises an object's capacity before it grows the member
    // array, so a growth that runs out of memory leaves an object claiming
    // room it does not have, and its interface offers no repair. The whole
    // document is emptied then, before the failure leaves the slot.
    void AddMember(Value& object, Value& name, Value& value) {
        try {
            object.AddMember(name, value, pool_);
        } catch (...) {
            Reset();
            throw;
        }
    }

    // Member setters: the value is made first (it may copy a text that lives
    // in this very member), then replaces the first member of the name or is
    // appended with a copied name.
    template <typename Make>
    bool SetMember(const char* name, Make make) {
        Value* object = CurrentObject();
        if (name == nullptr || object == nullptr) return false;
        return Boundary(false, [&] {
            Value value;
            if (!make(value)) return false;
            SizeType length;
            Value::MemberIterator member = FindMember(*object, name, &length);
            if (member != object->MemberEnd()) {
                member->value = value;
                return true;
            }
            if (length > kMaxTextBytes) return false;
            Value key(name, length, pool_);
            AddMember(*object, key, value);
            return true;
        });
    }

    bool VisitNewMember(const char* name, rapidjson::Type type) {
        Value* object = CurrentObject();
        if (name == nullptr || object == nullptr) return false;
        return Boundary(false, [&] {
            cursor_.reserve(cursor_.size() + 1);  // the move below cannot fail
            Value fresh(type);
            Value* target;
            SizeType length;
            Value::MemberIterator member = FindMember(*object, name, &length);
            if (member != object->MemberEnd()) {
                member->value = fresh;
                target = &member->value;
            } else {
                if (length > kMaxTextBytes) return false;
                Value key(name, length, pool_);
                AddMember(*object, key, fresh);
                target = &(object->MemberEnd() - 1)->value;
            }
            cursor_.push_back(target);
            return true;
        });
    }

    template <typename Make>
    bool Append(Make make) {
        Value* array = CurrentArray();
        if (array == nullptr) return false;
        return Boundary(false, [&] {
            Value value;
            if (!make(value)) return false;
            array->PushBack(value, pool_);  // grows safely: the old elements stay on failure
            return true;
        });
    }

    bool PushBackContainer(rapidjson::Type type) {
        Value* array = CurrentArray();
        if (array == nullptr) return false;
        return Boundary(false, [&] {
            cursor_.reserve(cursor_.size() + 1);
            Value fresh(type);
            array->PushBack(fresh, pool_);
            cursor_.push_back(&(*array)[array->Size() - 1]);
            return true;
        });
    }

    template <typename Make>
    bool SetCurrent(Make make) {
        Value* current = Current();
        if (current == nullptr) return false;
        return Boundary(false, [&] {
            Value value;
            if (!make(value)) return false;
            *current = value;  // a move: the old value is left to the pool
            return true;
        });
    }

    const char* WriteCurrent(unsigned maxDecimalPlaces) {
        return Boundary(kNoText, [&] {
            output_.Clear();
            Value* current = Current();
            if (current == nullptr) return kNoText;
            writer_.Reset(output_);
            writer_.SetMaxDecimalPlaces(static_cast<int>(maxDecimalPlaces));
            // A value the writer refuses ends the text where it stands, as
            // RapidJSON's own Accept leaves it; the header tells hosts so.
            WriteTree(*current);
            return output_.GetString();  // adds the terminator, not counted
        });
    }

    // RapidJSON's Accept, without its recursion: the same writer calls in
    // the same order, with the open containers on a heap stack, so a tree
    // of any depth that Parse accepted can be written. False when the
    // writer refuses a value (NaN or an infinity) or a string is too long.
    bool WriteTree(const Value& root) {
        writeStack_.clear();
        const Value* value = &root;
        for (;;) {
            if (!WriteOpening(*value)) return false;
            for (;;) {  // on to the next value, closing what is complete
                if (writeStack_.empty()) return true;
                WriteFrame& frame = writeStack_.back();
                if (frame.memberEnd != nullptr) {
                    if (frame.member != frame.memberEnd) {
                        const Member& member = *frame.member++;
                        if (member.name.GetStringLength() > kMaxWrittenBytes) return false;
                        writer_.Key(member.name.GetString(), member.name.GetStringLength());
                        value = &member.value;
                        break;
                    }
                    writer_.EndObject();
                } else {
                    if (frame.element != frame.elementEnd) {
                        value = frame.element++;
                        break;
                    }
                    writer_.EndArray();
                }
                writeStack_.pop_back();
            }
        }
    }

    // A scalar whole, or the start of a container (all of it when empty).
    bool WriteOpening(const Value& value) {
        switch (value.GetType()) {
            case rapidjson::kNullType:
                return writer_.Null();
            case rapidjson::kFalseType:
                return writer_.Bool(false);
            case rapidjson::kTrueType:
                return writer_.Bool(true);
            case rapidjson::kStringType:
                if (value.GetStringLength() > kMaxWrittenBytes) return false;
                return writer_.String(value.GetString(), value.GetStringLength());
            case rapidjson::kNumberType:
                if (value.IsDouble()) return writer_.Double(value.GetDouble());
                if (value.IsInt()) return writer_.Int(value.GetInt());
                if (value.IsUint()) return writer_.Uint(value.GetUint());
                if (value.IsInt64()) return writer_.Int64(value.GetInt64());
                return writer_.Uint64(value.GetUint64());
            case rapidjson::kObjectType: {
                writer_.StartObject();
                if (value.MemberCount() == 0) return writer_.EndObject();
                const Member* first = &*value.MemberBegin();
                writeStack_.push_back({first, first + value.MemberCount(), nullptr, nullptr});
                return true;
            }
            case rapidjson::kArrayType:
                writer_.StartArray();
                if (value.Empty()) return writer_.EndArray();
                writeStack_.push_back({nullptr, nullptr, value.Begin(), value.End()});
                return true;
        }
        return false;
    }

    // Field order is construction order: the pool and the buffers draw on
    // the heap, the document on the pool, the writer writes into output_.
    json::Heap heap_;
    json::Pool pool_;
    json::Document document_;
    json::Buffer output_;
    json::Writer writer_;
    // Pointers into the tree; the root first, the current value last.
    std::vector<Value*> cursor_;
    // The iterative writer's open containers, kept between writes.
    std::vector<WriteFrame> writeStack_;
};

}  // namespace

bool CreateJson(KaJson** out) {
    if (out == nullptr) return false;
    return HandOut(NewObject<Json>(), out, [](Json& json) { return json.Reset(); });
}

}  // namespace ka
