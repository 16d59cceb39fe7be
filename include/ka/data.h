// Data formats: the editable JSON document with a cursor, and SHA-1.
#ifndef KA_DATA_H
#define KA_DATA_H

#include "object.h"

struct KaJson;

// Called per member, the document's cursor on its value; true ends ForEachMember
// when stopOnTrue was given.
typedef bool (*MemberVisitor)(const char* name, KaJson* document, uintptr_t context);

// A JSON document with a cursor: every slot works on the current value, the one
// the cursor is on (the root after Reset). All text is UTF-8. One thread at a time.
struct KaJson : KaObject {
    // Bytes in use in the document's memory pool.
    virtual size_t GetMemoryUsage() = 0;
    // Empties the document: null root, cursor on it; earlier Write texts become invalid.
    virtual bool Reset() = 0;
    // MSVC groups overloads and lays them out in reverse declaration order;
    // GCC and clang keep declaration order. Either way Parse(text, length)
    // must be slot 5 and Parse(text) slot 6, Back(count) slot 25, Back() 26.
#if defined(_MSC_VER)
    // As Parse(text, length) up to the terminator, without skipping a byte-order mark.
    virtual bool Parse(const char* text) = 0;
    // Replaces the document by length bytes of JSON (a UTF-8 byte-order mark skipped);
    // true even for invalid text, which leaves a null root.
    virtual bool Parse(const char* text, size_t length) = 0;
#else
    // Replaces the document by length bytes of JSON (a UTF-8 byte-order mark skipped);
    // true even for invalid text, which leaves a null root.
    virtual bool Parse(const char* text, size_t length) = 0;
    // As Parse(text, length) up to the terminator, without skipping a byte-order mark.
    virtual bool Parse(const char* text) = 0;
#endif
    // The current value as compact JSON, owned by the document; valid until the next
    // Write, WriteWithMaxDecimalPlaces, Reset, Parse or destruction. A value that cannot be
    // written (NaN, an infinity, a string of more than 715,827,882 bytes) ends the text just
    // before it: [1,NaN] gives "[1," and NaN alone "". Such a text is not valid JSON, so a
    // caller that needs to know parses it back. Only when memory runs out while writing is
    // the answer an empty text that is not the document's buffer.
    virtual const char* Write() = 0;
    // Type tests of the current value, as RapidJSON means them (IsInt and the other
    // integer tests: an integer that fits; IsFloat: a double within float range).
    virtual bool IsArray() = 0;
    virtual bool IsBool() = 0;
    virtual bool IsDouble() = 0;
    virtual bool IsFalse() = 0;
    virtual bool IsFloat() = 0;
    virtual bool IsInt() = 0;
    virtual bool IsInt64() = 0;
    virtual bool IsLosslessDouble() = 0;
    virtual bool IsLosslessFloat() = 0;
    virtual bool IsNull() = 0;
    virtual bool IsNumber() = 0;
    virtual bool IsObject() = 0;
    virtual bool IsTrue() = 0;
    virtual bool IsUint() = 0;
    virtual bool IsUint64() = 0;
    virtual bool IsString() = 0;
    // The cursor is on the root.
    virtual bool IsAtRoot() = 0;
#if defined(_MSC_VER)
    // Moves out one level unless at the root; always true.
    virtual bool Back() = 0;
    // Moves out by up to count levels, never past the root; always true.
    virtual bool Back(uint32_t count) = 0;
#else
    // Moves out by up to count levels, never past the root; always true.
    virtual bool Back(uint32_t count) = 0;
    // Moves out one level unless at the root; always true.
    virtual bool Back() = 0;
#endif
    // Moves to the root; false when already there.
    virtual bool BackToRoot() = 0;
    // Levels of the cursor: 1 at the root.
    virtual uint32_t GetDepth() = 0;
    // The current object has a member of that name.
    virtual bool HasMember(const char* name) = 0;
    // Moves into the first member of that name and returns this document, for chaining;
    // null when there is none (logged when the value is not an object).
    virtual KaJson* VisitMember(const char* name) = 0;
    // Calls visitor per member of the current object (stopOnTrue: until one returns true).
    // The visitor must leave the cursor and the object's members as it found them.
    virtual bool ForEachMember(MemberVisitor visitor, uintptr_t context, bool stopOnTrue) = 0;
    // Sets member name to an empty object (replacing what it held) and moves into it.
    virtual bool VisitObjectMember(const char* name) = 0;
    // Sets member name to an empty array (replacing what it held) and moves into it.
    virtual bool VisitArrayMember(const char* name) = 0;
    // Member setters: replace the value of the first member of that name, or append a member
    // (name copied); false when the current value is not an object. The cursor stays.
    // "Ref" setters keep a pointer to the caller's text instead of copying it: keep it
    // alive and unchanged while the value exists.
    virtual bool SetMemberStringRef(const char* name, const char* text) = 0;
    virtual bool SetMemberUint64(const char* name, uint64_t value) = 0;
    virtual bool SetMemberUint(const char* name, uint32_t value) = 0;
    virtual bool SetMemberInt64(const char* name, int64_t value) = 0;
    virtual bool SetMemberInt(const char* name, int32_t value) = 0;
    virtual bool SetMemberDouble(const char* name, double value) = 0;
    virtual bool SetMemberBool(const char* name, bool value) = 0;
    virtual bool SetMemberString(const char* name, const char* text) = 0;
    // Removes the first member of that name by moving the last member into its place;
    // true whether or not there was one.
    virtual bool RemoveMember(const char* name) = 0;
    // Empties the current object.
    virtual bool RemoveAllMembers() = 0;
    // Moves into element index of the current array and returns this document; null
    // (logged) for a value that is not an array or an index out of bounds.
    virtual KaJson* VisitAt(uint32_t index) = 0;
    // Elements of the current array (members of an object).
    virtual uint32_t Size() = 0;
    // Empties the current array.
    virtual bool Clear() = 0;
    // Appends an empty object to the current array and moves into it.
    virtual bool PushBackObject() = 0;
    // Appends an empty array to the current array and moves into it.
    virtual bool PushBackArray() = 0;
    // Appenders: add one element at the end of the current array (false for any other
    // value); the cursor stays. The Ref form keeps the caller's text, as above.
    virtual bool PushBackStringRef(const char* text) = 0;
    virtual bool PushBackUint64(uint64_t value) = 0;
    virtual bool PushBackUint(uint32_t value) = 0;
    virtual bool PushBackInt64(int64_t value) = 0;
    virtual bool PushBackInt(int32_t value) = 0;
    virtual bool PushBackDouble(double value) = 0;
    virtual bool PushBackBool(bool value) = 0;
    virtual bool PushBackString(const char* text) = 0;
    // Removes the last element of the current array.
    virtual bool PopBack() = 0;
    // Value setters: replace the current value (SetObject, SetArray: by an empty one);
    // a number then passes every Is test it fits. The Ref form keeps the caller's text.
    virtual bool SetObject() = 0;
    virtual bool SetArray() = 0;
    virtual bool SetStringRef(const char* text) = 0;
    virtual bool SetUint64(uint64_t value) = 0;
    virtual bool SetUint(uint32_t value) = 0;
    virtual bool SetInt64(int64_t value) = 0;
    virtual bool SetInt(int32_t value) = 0;
    virtual bool SetDouble(double value) = 0;
    virtual bool SetBool(bool value) = 0;
    virtual bool SetString(const char* text) = 0;
    // Getters: the current value without a type test, so test its type first. GetString's
    // text belongs to the document (or is the caller's text of a Ref).
    virtual bool GetBool() = 0;
    virtual double GetDouble() = 0;
    virtual int32_t GetInt() = 0;
    virtual int64_t GetInt64() = 0;
    virtual uint32_t GetUint() = 0;
    virtual uint64_t GetUint64() = 0;
    virtual const char* GetString() = 0;
    // Member setter (as above) with a null value.
    virtual bool SetMemberNull(const char* name) = 0;
    // As Write, with digits after maxDecimalPlaces (at most 324) decimal places cut off.
    virtual const char* WriteWithMaxDecimalPlaces(uint32_t maxDecimalPlaces) = 0;
    // Run by the last Release: frees every value; Ref texts stay the caller's.
    virtual void Destroy(uint32_t flags) = 0;
};

// Module-owned service; not reference-counted. Stateless: any thread, any time.
struct KaSha1 {
    // digest: five words H0..H4. data may be null only when count is 0.
    virtual bool HashBuffer(const void* data, size_t count, uint32_t* digest) = 0;
    // text: 41 bytes, 40 lower-case hexadecimal digits and a terminator.
    virtual bool HashBufferText(const void* data, size_t count, char* text) = 0;
    // The digest of the file's bytes; false when it cannot be opened.
    virtual bool HashFile(const wchar_t* path, uint32_t* digest) = 0;
    // As HashFile, as text (41 bytes, as HashBufferText).
    virtual bool HashFileText(const wchar_t* path, char* text) = 0;
};

#endif
