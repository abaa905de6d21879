// C# binding of the kelhash library for .NET hosts (Mono, .NET Framework,
// .NET): subtitle-service fingerprints and digests of files, byte arrays,
// seekable streams and files read by ranges through a function.
//
//     string osh = Kelhash.OpenSubtitlesHash("movie.mkv");   // 16 lowercase hex digits
//     string sh  = Kelhash.ShooterHash("movie.mkv", "movie.mkv");
//     string md5 = Kelhash.Md5(File.ReadAllBytes("movie.srt")); // 32 uppercase hex digits
//     int stable = Kelhash.StableHash("movie.avi");           // 1654360774
//     var both   = Kelhash.Fingerprints((offset, count) => Fetch(offset, count), size, "movie.mkv");
//
// The library keeps its result and message in two process-wide buffers and
// takes no lock. Every call here holds one lock from the call until both are
// copied, so the methods may be used from several threads at once. Failures
// raise KelhashException with the library's status and message.
//
// The native library is bound by the name "kelhash": libkelhash.so on Linux
// (Mono's dllmap in KelhashSharp.dll.config maps it to the run-time name
// libkelhash.so.1), libkelhash.dylib on macOS, kelhash.dll on Windows.
//
// The source compiles with Mono's mcs (-unsafe) and with the .NET SDK
// (KelhashSharp.csproj). The ReadOnlySpan<byte> overloads are compiled where
// KELHASH_SPAN is defined: the csproj defines it for netstandard2.1, and
// Mono's corlib has the type too (mcs -define:KELHASH_SPAN).

using System;
using System.Collections.Generic;
using System.IO;
using System.Runtime.InteropServices;
using System.Security.Cryptography;

namespace KelhashSharp
{
    /// <summary>The library's status codes (kelhash.h).</summary>
    public enum KelhashStatus
    {
        Ok = 0,
        /// <summary>Opening, positioning, sizing or reading a file failed.</summary>
        IoError = 1,
        /// <summary>A Shooter hash of 8192 bytes or less without a fallback name.</summary>
        TooSmall = 2,
        /// <summary>A null pointer, a negative size, or ranges that do not fit.</summary>
        InvalidArgument = 3,
        /// <summary>A string is not well-formed UTF-8 (for a .NET string: a lone surrogate).</summary>
        InvalidUtf8 = 4,
        /// <summary>A heap allocation failed.</summary>
        NoMemory = 5,
        /// <summary>The result does not fit into the caller's buffer.</summary>
        BufferTooSmall = 6,
    }

    /// <summary>A call into the library failed: its status, and its message
    /// as <see cref="Exception.Message"/> (e.g. IoError, "cannot open file").</summary>
    public sealed class KelhashException : Exception
    {
        public KelhashException(KelhashStatus status, string message) : base(message)
        {
            Status = status;
        }

        /// <summary>A failure caused by another exception, e.g. IoError "read error"
        /// with the caller's stream or reader exception as InnerException.</summary>
        public KelhashException(KelhashStatus status, string message, Exception innerException)
            : base(message, innerException)
        {
            Status = status;
        }

        public KelhashStatus Status { get; private set; }
    }

    /// <summary>The library's exported functions, with the types of kelhash.h:
    /// int32_t is int, uint64_t ulong, int64_t long, pointers are pointers.</summary>
    internal static unsafe class NativeMethods
    {
        private const string Library = "kelhash";

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern byte* kelhash_result();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern byte* kelhash_last_error();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern int kelhash_md5_buffer(byte* data, ulong len);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern int kelhash_md5_file(byte* path);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern int kelhash_opensubtitles_buffer(byte* data, ulong len);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern int kelhash_opensubtitles_file(byte* path);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern int kelhash_opensubtitles_chunks(byte* head, ulong head_len,
                                                                byte* tail, ulong tail_len,
                                                                long total_size, byte* out_hex,
                                                                ulong out_cap);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern int kelhash_shooter_buffer(byte* data, ulong len, byte* fallback_name);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern int kelhash_shooter_file(byte* path, byte* fallback_name);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern int kelhash_shooter_chunks(byte* block0, ulong block0_len,
                                                          byte* block1, ulong block1_len,
                                                          byte* block2, ulong block2_len,
                                                          byte* block3, ulong block3_len,
                                                          long total_size, byte* fallback_name,
                                                          byte* out_hex, ulong out_cap);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern int kelhash_stable_utf8(byte* text, int* @out);
    }

    /// <summary>OpenSubtitles and Shooter hashes, MD5 and the stable string
    /// hash. A path is a string (passed to the library as UTF-8); data is a
    /// byte array holding the whole file; a stream must be seekable; a reader
    /// read(offset, count) returns exactly count bytes of a file of size bytes.</summary>
    public static unsafe class Kelhash
    {
        // One lock for the library's two process-wide buffers: held from the
        // call until its result or message is copied.
        private static readonly object Gate = new object();

        // The result string is at most 131 characters; the buffers hold 256 bytes.
        private const int BufferSize = 256;

        /// <summary>The OpenSubtitles hash of a file: 16 lowercase hexadecimal digits.</summary>
        public static string OpenSubtitlesHash(string path)
        {
            byte[] p = Utf8z(path, "path");
            fixed (byte* pp = p)
            {
                lock (Gate)
                {
                    return Result(NativeMethods.kelhash_opensubtitles_file(pp));
                }
            }
        }

        /// <summary>The OpenSubtitles hash of a whole file image.</summary>
        public static string OpenSubtitlesHash(byte[] data)
        {
            NotNull(data, "data");
            fixed (byte* d = data)
            {
                return OpenSubtitlesBuffer(d, data.Length);
            }
        }

        /// <summary>The OpenSubtitles hash from bytes the caller read: head starts
        /// at the file's first byte, tail ends at its last byte, each holds at
        /// least min(totalSize, 65536) bytes; null stands for no bytes.</summary>
        public static string OpenSubtitlesHash(byte[] head, byte[] tail, long totalSize)
        {
            fixed (byte* h = head)
            fixed (byte* t = tail)
            {
                lock (Gate)
                {
                    return Result(NativeMethods.kelhash_opensubtitles_chunks(
                        h, Length(head), t, Length(tail), totalSize, null, 0));
                }
            }
        }

        /// <summary>The Shooter hash of a file: four MD5 digests joined by ";",
        /// or, for 8192 bytes or less, the stable hash of fallbackName in decimal.</summary>
        public static string ShooterHash(string path, string fallbackName = null)
        {
            byte[] p = Utf8z(path, "path");
            byte[] n = fallbackName == null ? null : Utf8z(fallbackName, "fallbackName");
            fixed (byte* pp = p)
            fixed (byte* pn = n)
            {
                lock (Gate)
                {
                    return Result(NativeMethods.kelhash_shooter_file(pp, pn));
                }
            }
        }

        /// <summary>The Shooter hash of a whole file image.</summary>
        public static string ShooterHash(byte[] data, string fallbackName = null)
        {
            NotNull(data, "data");
            fixed (byte* d = data)
            {
                return ShooterBuffer(d, data.Length, fallbackName);
            }
        }

        /// <summary>The Shooter hash from the four blocks the caller read at the
        /// offsets 4096, (S / 3) * 2, S / 3 and S - 8192 of a file of S bytes,
        /// in that order; null stands for no bytes.</summary>
        public static string ShooterHash(byte[] block0, byte[] block1, byte[] block2, byte[] block3,
                                         long totalSize, string fallbackName = null)
        {
            byte[] n = fallbackName == null ? null : Utf8z(fallbackName, "fallbackName");
            return ShooterChunks(block0, block1, block2, block3, totalSize, n);
        }

        /// <summary>The MD5 digest of a file: 32 uppercase hexadecimal digits.</summary>
        public static string Md5(string path)
        {
            byte[] p = Utf8z(path, "path");
            fixed (byte* pp = p)
            {
                lock (Gate)
                {
                    return Result(NativeMethods.kelhash_md5_file(pp));
                }
            }
        }

        /// <summary>The MD5 digest of a byte array.</summary>
        public static string Md5(byte[] data)
        {
            NotNull(data, "data");
            fixed (byte* d = data)
            {
                return Md5Buffer(d, data.Length);
            }
        }

        // -----------------------------------------------------------------
        // Files the caller reads by ranges: a seekable Stream, or a reader
        // function read(offset, count) that returns exactly count bytes at
        // offset (object storage, a torrent stream with missing pieces). The
        // fingerprints read only the ranges they need; MD5 reads everything,
        // in order. A read that fails or returns too few bytes raises
        // KelhashException IoError "read error" with the cause as
        // InnerException: a fingerprint of bytes that were not there would
        // name another file.

        /// <summary>The OpenSubtitles hash of a seekable stream: its Length bytes
        /// from offset 0, whatever its Position; the Position is moved.</summary>
        public static string OpenSubtitlesHash(Stream stream)
        {
            return Fingerprint(new StreamSource(stream), true, false, null).OpenSubtitles;
        }

        /// <summary>The OpenSubtitles hash of a file of size bytes that read(offset,
        /// count) returns by ranges: it asks for the first and the last
        /// min(size, 65536) bytes, as one range when they overlap or touch.</summary>
        public static string OpenSubtitlesHash(Func<long, int, byte[]> read, long size)
        {
            return Fingerprint(new ReaderSource(read, size), true, false, null).OpenSubtitles;
        }

        /// <summary>The Shooter hash of a seekable stream (as for
        /// <see cref="OpenSubtitlesHash(Stream)"/>).</summary>
        public static string ShooterHash(Stream stream, string fallbackName = null)
        {
            return Fingerprint(new StreamSource(stream), false, true, fallbackName).Shooter;
        }

        /// <summary>The Shooter hash of a file read by ranges: four blocks of up to
        /// 4096 bytes, none for 8192 bytes or less.</summary>
        public static string ShooterHash(Func<long, int, byte[]> read, long size, string fallbackName = null)
        {
            return Fingerprint(new ReaderSource(read, size), false, true, fallbackName).Shooter;
        }

        /// <summary>The MD5 digest of a seekable stream's Length bytes from offset 0.</summary>
        public static string Md5(Stream stream)
        {
            return Md5Of(new StreamSource(stream));
        }

        /// <summary>The MD5 digest of a file of size bytes read by ranges: every
        /// byte once, in order, in ranges of up to 1 MiB.</summary>
        public static string Md5(Func<long, int, byte[]> read, long size)
        {
            return Md5Of(new ReaderSource(read, size));
        }

        /// <summary>Both fingerprints of a file (what <see cref="OpenSubtitlesHash(string)"/>
        /// and <see cref="ShooterHash(string, string)"/> return).</summary>
        public static (string OpenSubtitles, string Shooter) Fingerprints(string path, string fallbackName = null)
        {
            return (OpenSubtitlesHash(path), ShooterHash(path, fallbackName));
        }

        /// <summary>Both fingerprints of a whole file image.</summary>
        public static (string OpenSubtitles, string Shooter) Fingerprints(byte[] data, string fallbackName = null)
        {
            NotNull(data, "data");
            return (OpenSubtitlesHash(data), ShooterHash(data, fallbackName));
        }

        /// <summary>Both fingerprints of a seekable stream, each byte they need
        /// read once.</summary>
        public static (string OpenSubtitles, string Shooter) Fingerprints(Stream stream, string fallbackName = null)
        {
            return Fingerprint(new StreamSource(stream), true, true, fallbackName);
        }

        /// <summary>Both fingerprints of a file read by ranges: every byte either
        /// needs is asked for once, overlapping or touching ranges as one.</summary>
        public static (string OpenSubtitles, string Shooter) Fingerprints(Func<long, int, byte[]> read, long size,
                                                                          string fallbackName = null)
        {
            return Fingerprint(new ReaderSource(read, size), true, true, fallbackName);
        }

#if KELHASH_SPAN
        /// <summary>Both fingerprints of a whole file image.</summary>
        public static (string OpenSubtitles, string Shooter) Fingerprints(ReadOnlySpan<byte> data,
                                                                          string fallbackName = null)
        {
            return (OpenSubtitlesHash(data), ShooterHash(data, fallbackName));
        }

        /// <summary>The OpenSubtitles hash of a whole file image.</summary>
        public static string OpenSubtitlesHash(ReadOnlySpan<byte> data)
        {
            fixed (byte* d = &MemoryMarshal.GetReference(data))
            {
                return OpenSubtitlesBuffer(d, data.Length);
            }
        }

        /// <summary>The Shooter hash of a whole file image.</summary>
        public static string ShooterHash(ReadOnlySpan<byte> data, string fallbackName = null)
        {
            fixed (byte* d = &MemoryMarshal.GetReference(data))
            {
                return ShooterBuffer(d, data.Length, fallbackName);
            }
        }

        /// <summary>The MD5 digest of a span of bytes.</summary>
        public static string Md5(ReadOnlySpan<byte> data)
        {
            fixed (byte* d = &MemoryMarshal.GetReference(data))
            {
                return Md5Buffer(d, data.Length);
            }
        }
#endif

        /// <summary>The stable hash (0 to 2147483647) of a string, hashed as UTF-8.</summary>
        public static int StableHash(string text)
        {
            byte[] t = Utf8z(text, "text");
            int value;
            fixed (byte* pt = t)
            {
                lock (Gate)
                {
                    int status = NativeMethods.kelhash_stable_utf8(pt, &value);
                    if (status != 0)
                    {
                        throw Failure(status);
                    }
                }
            }
            return value;
        }

        private static string ShooterChunks(byte[] block0, byte[] block1, byte[] block2, byte[] block3,
                                            long totalSize, byte[] name)
        {
            fixed (byte* b0 = block0)
            fixed (byte* b1 = block1)
            fixed (byte* b2 = block2)
            fixed (byte* b3 = block3)
            fixed (byte* pn = name)
            {
                lock (Gate)
                {
                    return Result(NativeMethods.kelhash_shooter_chunks(
                        b0, Length(block0), b1, Length(block1), b2, Length(block2),
                        b3, Length(block3), totalSize, pn, null, 0));
                }
            }
        }

        // The OpenSubtitles hash reads this much at each end of a file.
        private const int EndLength = 65536;

        // The Shooter hash reads four blocks of this much, from files above
        // twice that size.
        private const int BlockLength = 4096;

        // MD5 of a stream or reader takes the bytes in ranges of this much.
        private const int Md5Piece = 1 << 20;

        // One plan for the fingerprints asked for: the ranges each needs,
        // read as few, ascending, non-overlapping ranges, then handed to the
        // chunk functions. The reads happen outside the lock: a slow reader
        // holds up no other thread's calls.
        private static (string OpenSubtitles, string Shooter) Fingerprint(Source source, bool openSubtitles,
                                                                          bool shooter, string fallbackName)
        {
            // A name holding a NUL fails before anything is read.
            byte[] name = fallbackName == null ? null : Utf8z(fallbackName, "fallbackName");
            long size = source.Size;
            long m = Math.Min(size, EndLength);
            long[] blocks = size > 2 * BlockLength
                ? new long[] { BlockLength, size / 3 * 2, size / 3, size - 2 * BlockLength }
                : new long[0];
            var ranges = new List<KeyValuePair<long, long>>();
            if (openSubtitles && m > 0)
            {
                ranges.Add(new KeyValuePair<long, long>(0, m));
                ranges.Add(new KeyValuePair<long, long>(size - m, size));
            }
            if (shooter)
            {
                foreach (long offset in blocks)
                {
                    ranges.Add(new KeyValuePair<long, long>(offset, Math.Min(offset + BlockLength, size)));
                }
            }
            Held held = Held.Read(source, ranges);
            string os = null;
            string sh = null;
            if (openSubtitles)
            {
                os = OpenSubtitlesHash(held.Get(0, m), held.Get(size - m, m), size);
            }
            if (shooter)
            {
                // Block 1 ends early in a file of less than 12288 bytes; the
                // chunk function takes the bytes there are.
                byte[][] b = new byte[4][];
                for (int i = 0; i < blocks.Length; i++)
                {
                    b[i] = held.Get(blocks[i], Math.Min(BlockLength, size - blocks[i]));
                }
                sh = ShooterChunks(b[0], b[1], b[2], b[3], size, name);
            }
            return (os, sh);
        }

        private static string Md5Of(Source source)
        {
            long size = source.Size;
            byte[] scratch = new byte[Math.Min(size, Md5Piece)];
            using (MD5 md5 = MD5.Create())
            {
                for (long offset = 0; offset < size;)
                {
                    int n = (int)Math.Min(Md5Piece, size - offset);
                    md5.TransformBlock(source.Read(offset, n, scratch), 0, n, null, 0);
                    offset += n;
                }
                md5.TransformFinalBlock(scratch, 0, 0);
                const string digits = "0123456789ABCDEF";
                char[] hex = new char[32];
                byte[] digest = md5.Hash;
                for (int i = 0; i < 16; i++)
                {
                    hex[2 * i] = digits[digest[i] >> 4];
                    hex[2 * i + 1] = digits[digest[i] & 15];
                }
                return new string(hex);
            }
        }

        private static KelhashException ReadError(Exception cause)
        {
            return new KelhashException(KelhashStatus.IoError, "read error", cause);
        }

        // Where the bytes of a file the library cannot open come from.
        private abstract class Source
        {
            internal long Size;

            // Exactly count (> 0) bytes at offset, offset + count <= Size, from
            // index 0 of the array returned; into, when not null, may be
            // filled and returned. Anything else is a read error.
            internal abstract byte[] Read(long offset, int count, byte[] into);
        }

        private sealed class StreamSource : Source
        {
            private readonly Stream stream;

            internal StreamSource(Stream stream)
            {
                NotNull(stream, "stream");
                // The fingerprints need the size before the first byte and
                // bytes near the end: a stream read front to back cannot
                // give them.
                if (!stream.CanSeek)
                {
                    throw new ArgumentException("the stream is not seekable (CanSeek is false)", "stream");
                }
                if (!stream.CanRead)
                {
                    throw new ArgumentException("the stream is not readable (CanRead is false)", "stream");
                }
                this.stream = stream;
                try
                {
                    Size = stream.Length;
                }
                catch (Exception e)
                {
                    throw ReadError(e);
                }
            }

            internal override byte[] Read(long offset, int count, byte[] into)
            {
                byte[] buffer = into != null && into.Length >= count ? into : new byte[count];
                int n = 0;
                try
                {
                    if (stream.Position != offset)
                    {
                        stream.Position = offset;
                    }
                    // A stream may return fewer bytes than asked before its
                    // end (a pipe, a network, a decoder): only 0 is the end.
                    while (n < count)
                    {
                        int got = stream.Read(buffer, n, count - n);
                        if (got <= 0)
                        {
                            break;
                        }
                        n += got;
                    }
                }
                catch (Exception e)
                {
                    throw ReadError(e);
                }
                if (n < count)
                {
                    throw ReadError(new EndOfStreamException(
                        "short read: " + count + " bytes asked at offset " + offset + ", " + n + " returned"));
                }
                return buffer;
            }
        }

        private sealed class ReaderSource : Source
        {
            private readonly Func<long, int, byte[]> read;

            internal ReaderSource(Func<long, int, byte[]> read, long size)
            {
                NotNull(read, "read");
                if (size < 0)
                {
                    throw new ArgumentOutOfRangeException("size", size, "the size of a file is never negative");
                }
                this.read = read;
                Size = size;
            }

            internal override byte[] Read(long offset, int count, byte[] into)
            {
                byte[] got;
                try
                {
                    got = read(offset, count);
                }
                catch (Exception e)
                {
                    throw ReadError(e);
                }
                if (got == null || got.Length < count)
                {
                    throw ReadError(new EndOfStreamException(
                        "short read: " + count + " bytes asked at offset " + offset + ", "
                        + (got == null ? "null" : got.Length.ToString()) + " returned"));
                }
                // More bytes than asked are not "the bytes at offset" either:
                // which of them the reader meant cannot be known.
                if (got.Length > count)
                {
                    throw ReadError(new IOException(
                        "long read: " + count + " bytes asked at offset " + offset + ", " + got.Length + " returned"));
                }
                return got;
            }
        }

        // The ranges read for one plan, ascending and apart from each other.
        private sealed class Held
        {
            private readonly List<long> offsets = new List<long>();
            private readonly List<byte[]> data = new List<byte[]>();

            // Reads [start, end) pairs, overlapping or touching ones as one range:
            // a reader pays for each call (a request, a seek), and no byte is
            // asked for twice.
            internal static Held Read(Source source, List<KeyValuePair<long, long>> ranges)
            {
                ranges.Sort((a, b) => a.Key.CompareTo(b.Key));
                var held = new Held();
                int i = 0;
                while (i < ranges.Count)
                {
                    long start = ranges[i].Key;
                    long end = ranges[i].Value;
                    for (i++; i < ranges.Count && ranges[i].Key <= end; i++)
                    {
                        end = Math.Max(end, ranges[i].Value);
                    }
                    // At most both ends and four blocks: far below 2 GiB.
                    held.offsets.Add(start);
                    held.data.Add(source.Read(start, (int)(end - start), null));
                }
                return held;
            }

            // A copy of count bytes at offset, which one of the ranges holds;
            // null for none.
            internal byte[] Get(long offset, long count)
            {
                if (count == 0)
                {
                    return null;
                }
                for (int i = 0; i < offsets.Count; i++)
                {
                    long at = offset - offsets[i];
                    if (at >= 0 && at + count <= data[i].Length)
                    {
                        byte[] part = new byte[count];
                        Array.Copy(data[i], at, part, 0, count);
                        return part;
                    }
                }
                throw new InvalidOperationException("no range read holds " + count + " bytes at " + offset);
            }
        }

        private static string OpenSubtitlesBuffer(byte* data, int length)
        {
            lock (Gate)
            {
                return Result(NativeMethods.kelhash_opensubtitles_buffer(data, (ulong)length));
            }
        }

        private static string ShooterBuffer(byte* data, int length, string fallbackName)
        {
            byte[] n = fallbackName == null ? null : Utf8z(fallbackName, "fallbackName");
            fixed (byte* pn = n)
            {
                lock (Gate)
                {
                    return Result(NativeMethods.kelhash_shooter_buffer(data, (ulong)length, pn));
                }
            }
        }

        private static string Md5Buffer(byte* data, int length)
        {
            lock (Gate)
            {
                return Result(NativeMethods.kelhash_md5_buffer(data, (ulong)length));
            }
        }

        // Called with the lock held, right after the call: the result string
        // on status 0, else the failure with the library's message.
        private static string Result(int status)
        {
            if (status != 0)
            {
                throw Failure(status);
            }
            return Text(NativeMethods.kelhash_result());
        }

        private static KelhashException Failure(int status)
        {
            return new KelhashException((KelhashStatus)status, Text(NativeMethods.kelhash_last_error()));
        }

        // A NUL-terminated string of the library's (ASCII for every result and
        // message) as a .NET string.
        private static string Text(byte* s)
        {
            int n = 0;
            while (n < BufferSize && s[n] != 0)
            {
                n++;
            }
            char[] chars = new char[n];
            for (int i = 0; i < n; i++)
            {
                chars[i] = (char)s[i];
            }
            return new string(chars);
        }

        private static ulong Length(byte[] data)
        {
            return data == null ? 0UL : (ulong)data.Length;
        }

        private static void NotNull(object value, string name)
        {
            if (value == null)
            {
                throw new ArgumentNullException(name);
            }
        }

        // A string as NUL-terminated UTF-8. A lone surrogate, which has no
        // UTF-8 form, is written as the three bytes of its code unit: the
        // library rejects them as ill-formed (status 4), where an encoder's
        // replacement character would have hashed another name.
        internal static byte[] Utf8z(string s, string name)
        {
            NotNull(s, name);
            byte[] buffer = new byte[s.Length * 3 + 1];
            int n = 0;
            for (int i = 0; i < s.Length; i++)
            {
                int c = s[i];
                if (c == 0)
                {
                    throw new ArgumentException(name + " contains a NUL character", name);
                }
                if (c < 0x80)
                {
                    buffer[n++] = (byte)c;
                }
                else if (c < 0x800)
                {
                    buffer[n++] = (byte)(0xC0 | (c >> 6));
                    buffer[n++] = (byte)(0x80 | (c & 0x3F));
                }
                else if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.Length
                         && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF)
                {
                    int cp = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
                    i++;
                    buffer[n++] = (byte)(0xF0 | (cp >> 18));
                    buffer[n++] = (byte)(0x80 | ((cp >> 12) & 0x3F));
                    buffer[n++] = (byte)(0x80 | ((cp >> 6) & 0x3F));
                    buffer[n++] = (byte)(0x80 | (cp & 0x3F));
                }
                else
                {
                    buffer[n++] = (byte)(0xE0 | (c >> 12));
                    buffer[n++] = (byte)(0x80 | ((c >> 6) & 0x3F));
                    buffer[n++] = (byte)(0x80 | (c & 0x3F));
                }
            }
            byte[] z = new byte[n + 1];
            Array.Copy(buffer, z, n);
            return z;
        }
    }
}
