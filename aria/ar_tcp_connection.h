#pragma once
// TCP link to a robot server (by default localhost:8101).
#include <memory>
#include <string>

#include "aria/ar_device_connection.h"

class ArTcpConnection : public ArDeviceConnection {
 public:
  ArTcpConnection();
  ~ArTcpConnection() override;
  ArTcpConnection(const ArTcpConnection&) = delete;
  ArTcpConnection& operator=(const ArTcpConnection&) = delete;

  // Sets the server; a null host means "localhost".
  void setPort(const char* host = nullptr, int port = 8101);
  std::string getHost() const;
  int getPort() const;

  bool openSimple() override;
  bool close() override;
  bool isOpen() const override;
  int read(char* data, unsigned int size, unsigned int msWait) override;
  int write(const char* data, unsigned int size) override;

 private:
  struct Impl;
  std::unique_ptr<Impl> d;
};
