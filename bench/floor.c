/* The floor extraction is measured against: it does nothing but open, write
 * and close the two work files of each entry of a package, named as the tool
 * names them, with none of the tool's checks. It reads the whole package
 * first, so its time is the work files' alone.
 *
 * Usage: floor PACKAGE DIRECTORY */
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int32_t le32(const unsigned char* p) {
  return (int32_t)((uint32_t)p[0] | (uint32_t)p[1] << 8 |
                   (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24);
}

static void fail(const char* what) {
  perror(what);
  exit(1);
}

static void put(const char* dir, const char* name, const unsigned char* data,
                size_t size) {
  char path[4096];
  snprintf(path, sizeof path, "%s/%s", dir, name);
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (fd < 0) fail(path);
  while (size > 0) {
    ssize_t done = write(fd, data, size);
    if (done <= 0) fail(path);
    data += done;
    size -= (size_t)done;
  }
  if (close(fd) != 0) fail(path);
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: floor PACKAGE DIRECTORY\n");
    return 2;
  }
  int fd = open(argv[1], O_RDONLY);
  struct stat info;
  if (fd < 0 || fstat(fd, &info) != 0) fail(argv[1]);
  size_t total = (size_t)info.st_size;
  unsigned char* data = malloc(total + 1);
  if (data == NULL) fail("malloc");
  for (size_t got = 0; got < total;) {
    ssize_t done = read(fd, data + got, total - got);
    if (done <= 0) fail(argv[1]);
    got += (size_t)done;
  }
  close(fd);

  if (total < 8) return 1;
  int32_t count = le32(data + 4);
  size_t at = 8;
  for (int32_t i = 0; i < count; ++i) {
    if (total - at < 12) return 1;
    int32_t units = le32(data + at + 8);
    size_t header = 16 + 2 * (size_t)(units > 0 ? units : 0);
    if (total - at < header) return 1;
    int32_t content = le32(data + at + header - 4);
    size_t size = content > 0 ? (size_t)content : 0;
    if (total - at - header < size) return 1;
    /* The low byte of each name unit, up to the first zero. */
    char name[256];
    size_t length = 0;
    while (length < (size_t)(units > 0 ? units : 0) && length < 250 &&
           data[at + 12 + 2 * length] != 0) {
      name[length] = (char)data[at + 12 + 2 * length];
      ++length;
    }
    name[length] = '\0';
    if (length < 5) return 1;
    put(argv[2], name, data + at + header, size);
    strcpy(name + length - 5, ".pre");
    put(argv[2], name, data + at, header);
    at += header + size;
  }
  free(data);
  return 0;
}
