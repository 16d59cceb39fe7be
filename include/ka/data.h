// Data formats: the editable JSON document with a cursor, and SHA-1.
#ifndef KA_DATA_H
#define KA_DATA_H

#include "object.h"

struct KaJson;

typedef bool (*MemberVisitor)(const char* name, KaJson* document, uintptr_t context);

struct KaJson : KaObject {
    virtual size_t GetMemoryUsage() = 0;
    virtual bool Reset() = 0;
    // MSVC groups overloads and lays them out in reverse declaration order;
    // GCC and clang keep declaration order. Either way Parse(text, length)
    // must be slot 5 and Parse(text) slot 6, Back(count) slot 25, Back() 26.
#if defined(_MSC_VER)
    virtual bool Parse(const char* text) = 0;
    virtual bool Parse(const char* text, size_t length) = 0;
#else
    virtual bool Parse(const char* text, size_t length) = 0;
    virtual bool Parse(const char* text) = 0;
#endif
    virtual const char* Write() = 0;
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
    virtual bool IsAtRoot() = 0;
#if defined(_MSC_VER)
    virtual bool Back() = 0;
    virtual bool Back(uint32_t count) = 0;
#else
    virtual bool Back(uint32_t count) = 0;
    virtual bool Back() = 0;
#endif
    virtual bool BackToRoot() = 0;
    virtual uint32_t GetDepth() = 0;
    virtual bool HasMember(const char* name) = 0;
    virtual KaJson* VisitMember(const char* name) = 0;
    virtual bool ForEachMember(MemberVisitor visitor, uintptr_t context, bool stopOnTrue) = 0;
    virtual bool VisitObjectMember(const char* name) = 0;
    virtual bool VisitArrayMember(const char* name) = 0;
    // "Ref" setters keep a pointer to the caller's text instead of copying it.
    virtual bool SetMemberStringRef(const char* name, const char* text) = 0;
    virtual bool SetMemberUint64(const char* name, uint64_t value) = 0;
    virtual bool SetMemberUint(const char* name, uint32_t value) = 0;
    virtual bool SetMemberInt64(const char* name, int64_t value) = 0;
    virtual bool SetMemberInt(const char* name, int32_t value) = 0;
    virtual bool SetMemberDouble(const char* name, double value) = 0;
    virtual bool SetMemberBool(const char* name, bool value) = 0;
    virtual bool SetMemberString(const char* name, const char* text) = 0;
    virtual bool RemoveMember(const char* name) = 0;
    virtual bool RemoveAllMembers() = 0;
    virtual KaJson* VisitAt(uint32_t index) = 0;
    virtual uint32_t Size() = 0;
    virtual bool Clear() = 0;
    virtual bool PushBackObject() = 0;
    virtual bool PushBackArray() = 0;
    virtual bool PushBackStringRef(const char* text) = 0;
    virtual bool PushBackUint64(uint64_t value) = 0;
    virtual bool PushBackUint(uint32_t value) = 0;
    virtual bool PushBackInt64(int64_t value) = 0;
    virtual bool PushBackInt(int32_t value) = 0;
    virtual bool PushBackDouble(double value) = 0;
    virtual bool PushBackBool(bool value) = 0;
    virtual bool PushBackString(const char* text) = 0;
    virtual bool PopBack() = 0;
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
    virtual bool GetBool() = 0;
    virtual double GetDouble() = 0;
    virtual int32_t GetInt() = 0;
    virtual int64_t GetInt64() = 0;
    virtual uint32_t GetUint() = 0;
    virtual uint64_t GetUint64() = 0;
    virtual const char* GetString() = 0;
    virtual bool SetMemberNull(const char* name) = 0;
    virtual const char* WriteWithMaxDecimalPlaces(uint32_t maxDecimalPlaces) = 0;
    virtual void Destroy(uint32_t flags) = 0;
};

// Module-owned service; not reference-counted.
struct KaSha1 {
    // digest: five words H0..H4.
    virtual bool HashBuffer(const void* data, size_t count, uint32_t* digest) = 0;
    // text: 41 bytes, 40 lower-case hexadecimal digits and a terminator.
    virtual bool HashBufferText(const void* data, size_t count, char* text) = 0;
    virtual bool HashFile(const wchar_t* path, uint32_t* digest) = 0;
    virtual bool HashFileText(const wchar_t* path, char* text) = 0;
};

#endif
