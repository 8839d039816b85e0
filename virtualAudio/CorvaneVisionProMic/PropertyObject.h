/* virtualAudio: the values carried by custom and string properties across the plug-in
 * boundary: a number, a block of bytes or a text. A property's data is a reference to one
 * object (8 bytes). Whoever creates or is handed a new object releases it; the other side only
 * reads. Each side links its own copy of these inline functions, over the one C allocator. */
#ifndef VL_PROPERTY_OBJECT_H
#define VL_PROPERTY_OBJECT_H

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum PropertyObjectType {
    kPropertyObjectNumber = 1,
    kPropertyObjectData = 2,
    kPropertyObjectString = 3,
} PropertyObjectType;

typedef struct PropertyObject {
    uint32_t type;
    int64_t number;
    size_t length; /* bytes of data, or of the text without its terminator */
    unsigned char bytes[];
} PropertyObject;

typedef const PropertyObject* PropertyObjectRef;

static inline PropertyObject* PropertyObjectAllocate(uint32_t type, size_t length) {
    PropertyObject* object = (PropertyObject*)malloc(sizeof(PropertyObject) + length + 1);
    if (!object) return NULL;
    object->type = type;
    object->number = 0;
    object->length = length;
    object->bytes[length] = 0;
    return object;
}

static inline PropertyObjectRef PropertyNumberCreate(int64_t value) {
    PropertyObject* object = PropertyObjectAllocate(kPropertyObjectNumber, 0);
    if (object) object->number = value;
    return object;
}

static inline PropertyObjectRef PropertyDataCreate(const void* bytes, size_t length) {
    PropertyObject* object = PropertyObjectAllocate(kPropertyObjectData, length);
    if (object && length) memcpy(object->bytes, bytes, length);
    return object;
}

static inline PropertyObjectRef PropertyStringCreate(const char* text) {
    const size_t length = text ? strlen(text) : 0;
    PropertyObject* object = PropertyObjectAllocate(kPropertyObjectString, length);
    if (object && length) memcpy(object->bytes, text, length);
    return object;
}

static inline void PropertyObjectRelease(PropertyObjectRef object) {
    free((void*)object);
}

/* The number as a signed 32-bit value: 1 when it is a number in range, else 0. */
static inline int PropertyNumberGetInt32(PropertyObjectRef object, int32_t* out) {
    if (!object || object->type != kPropertyObjectNumber) return 0;
    if (object->number < INT32_MIN || object->number > INT32_MAX) return 0;
    *out = (int32_t)object->number;
    return 1;
}

static inline int PropertyStringEquals(PropertyObjectRef object, const char* text) {
    return object && object->type == kPropertyObjectString && text &&
           strlen(text) == object->length && memcmp(object->bytes, text, object->length) == 0;
}

#ifdef __cplusplus
}
#endif

#endif
