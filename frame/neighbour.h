// Embedded interfaces sit side by side in the module object, one table
// pointer each. GetStringUtil (on the root) and GetDirectoryFinder (on
// KaFileSystem) both answer "the interface one pointer after me".
#ifndef KA_FRAME_NEIGHBOUR_H
#define KA_FRAME_NEIGHBOUR_H

namespace ka {

inline void* NeighbourInterface(void* self) { return static_cast<void**>(self) + 1; }

}  // namespace ka

#endif
