#pragma once
// A file whose contents are enciphered block by block (ECB) with a Rijndael cipher.
//
// Writing: every complete block goes to the disk as soon as it is complete, so an abrupt end
// of the program loses at most the last unfinished block; close() pads the remainder
// (PKCS#7: n bytes of value n, a whole block of padding when the data fills its blocks),
// writes it and syncs the file. With 128-bit blocks the file is plain AES-ECB, readable by
// standard tools.
// A write that does not reach the disk (a full disk) returns -1 and accepts nothing: the file
// is cut back to its whole blocks and finished at once with the padding of what was accepted,
// so it stays readable; room for that last block is kept reserved ahead of the file's end.
// Later writes are refused. writeFailed() and errorString() tell of it, also after close().
// Reading: open() deciphers the last block and checks its padding; a file that is not a
// whole number of blocks, or whose padding is wrong (an unfinished file, or the wrong key),
// does not open. Reads then decipher the blocks they reach, a chunk at a time, so a file of
// any size is read in bounded memory (and its size() is known before any of it is read).
// Reading and writing at once, appending and seeking while writing are not supported.
#include "vexa/io/Rijndael.h"

#include <QByteArray>
#include <QFile>
#include <QString>

namespace Vexa {

class EncFile : public QFile
{
    Q_OBJECT

public:
    EncFile(const QString& fileName, Rijndael cipher);
    ~EncFile() override;

    bool open(OpenMode mode) override;
    void close() override;

    // The next open for writing opens only the very file `fd` was made as (this object then owns
    // the descriptor): where something else stands at the name by then (a link put there, in a
    // folder a group shares) or nothing does, the open fails; nothing is made, followed, cut or
    // written.
    void adopt(int fd);

    // Whether a write, the padding or the sync failed since the file was opened for writing.
    bool writeFailed() const { return failed_; }

    using QFile::resize;
    // While writing only the present size is accepted (the enciphered file is never cut).
    bool resize(qint64 size) override;

    qint64 size() const override;
    bool seek(qint64 pos) override;
    bool atEnd() const override;
    qint64 bytesAvailable() const override;

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 readLineData(char* data, qint64 maxSize) override;
    qint64 writeData(const char* data, qint64 size) override;

private:
    enum class Mode { Closed, Reading, Writing };

    bool openForReading(OpenMode mode);
    // Reads `size` enciphered bytes at `offset` of the file; false (with the error) when it cannot.
    bool readBlocks(qint64 offset, char* out, qint64 size);
    // Enciphers `blocks` whole blocks of plain text and writes them to the file at once; on a
    // failure the file is cut back to the blocks it had and false returned.
    bool writeBlocks(const char* plain, qint64 blocks);
    // Writes the padded last block; true when there is nothing more to write.
    bool finish();
    // Keeps room for one more block after the file's end, so that the last one always fits.
    void reserve();
    void fail(int error);

    Rijndael cipher_;
    Mode mode_ = Mode::Closed;
    qint64 plainSize_ = 0;  // reading: the size of the contents without padding
    QByteArray chunk_;      // reading: the deciphered blocks last read, from chunkStart_
    qint64 chunkStart_ = 0;
    QByteArray pending_; // writing: the bytes of the unfinished block
    qint64 written_ = 0; // writing: plain bytes accepted so far
    qint64 onDisk_ = 0;  // writing: enciphered bytes in the file
    bool finished_ = false; // writing: the padded last block is written
    bool failed_ = false;
    QString failure_;
    int adopted_ = -1;
};

}
