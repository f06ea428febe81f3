#pragma once
// A byte-stream link to a robot server.

class ArDeviceConnection {
 public:
  virtual ~ArDeviceConnection() = default;
  // Opens the link with the parameters set beforehand; true on success.
  virtual bool openSimple() = 0;
  // Closes the link; true if it was open.
  virtual bool close() = 0;
  virtual bool isOpen() const = 0;
  // Reads up to size bytes, waiting at most msWait ms for the first byte.
  // Returns the bytes read, 0 on time-out, -1 on end of stream or error.
  virtual int read(char* data, unsigned int size, unsigned int msWait) = 0;
  // Writes all size bytes as one unit (concurrent writers never interleave).
  // Returns size on success, -1 on error.
  virtual int write(const char* data, unsigned int size) = 0;
};
