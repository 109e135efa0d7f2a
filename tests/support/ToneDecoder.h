#pragma once

// Which sounds started at which frame of a mix that is the exact integer sum
// of known sounds (played at the output's rate, below the limiter), found
// in the audio itself and read as it grows.
//
// The sounds are peeled off in time order: the earliest non-zero sample of
// what is left is the next start. Every sound's first sample is distinct
// and no sum of two or more equals one of them, so that sample names a lone
// start; a sum names starts at the same frame, told apart by how far each
// candidate set matches the samples that follow. Its whole sound is then
// subtracted. A sound stopped early leaves its own tail negated; that is
// recognised and reported. Whatever cannot be explained is reported with
// its frames, never guessed away; a correct decoding leaves nothing.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

struct ToneOnset {
    int Id;              // index of the sound
    std::int64_t Frame;  // mix frame of its first sample
    int Exact;           // samples that matched it exactly before another sound joined
};

struct ToneFault {
    std::int64_t From, To;  // mix frames [From, To)
    std::string What;
};

class ToneDecoder {
public:
    explicit ToneDecoder(std::vector<std::vector<std::int16_t>> Sounds) : FSounds(std::move(Sounds)) {
        int maxFirst = 0, least = 1 << 30, second = 1 << 30;
        for (std::size_t i = 0; i < FSounds.size(); ++i) {
            if (FSounds[i].empty()) throw std::invalid_argument("an empty sound cannot be found");
            const int first = FSounds[i][0];
            if (first <= 0) throw std::invalid_argument("every sound must start above zero");
            if (!FByFirst.emplace(first, static_cast<int>(i)).second)
                throw std::invalid_argument("two sounds start with the same sample");
            maxFirst = std::max(maxFirst, first);
            if (first < least) {
                second = least;
                least = first;
            } else {
                second = std::min(second, first);
            }
            FMaxLength = std::max(FMaxLength, FSounds[i].size());
        }
        if (FSounds.size() > 1 && least + second <= maxFirst)
            throw std::invalid_argument("a sum of two first samples equals or exceeds a single one");
        FLeastPair = FSounds.size() > 1 ? least + second : 1 << 30;
    }

    // Appends the mix's next frames; the first channel is decoded, every
    // other must equal it (the sounds are mono).
    void Feed(const std::int16_t* Frames, std::size_t Count, unsigned Channels) {
        for (std::size_t f = 0; f < Count; ++f) {
            const std::int16_t left = Frames[f * Channels];
            for (unsigned c = 1; c < Channels; ++c)
                if (Frames[f * Channels + c] != left) Fault(FFed + std::int64_t(f), 'c', "channels differ");
            FRes.push_back(left);
        }
        FFed += static_cast<std::int64_t>(Count);
    }

    // Decodes every start whose whole sound has been fed; Final: the mix
    // has ended, so the rest too (sounds running past the end are cut).
    void Decode(bool Final = false) {
        const std::size_t need = FMaxLength + kWindow;
        while (FPos < FRes.size()) {
            if (FRes[FPos] == 0) {
                ++FPos;
                continue;
            }
            if (!Final && FRes.size() - FPos < need) break;
            Explain(FPos);
        }
        // What lies before the scan is all zero now: let it go.
        if (FPos > (1u << 16)) {
            FRes.erase(FRes.begin(), FRes.begin() + static_cast<std::ptrdiff_t>(FPos));
            FBase += static_cast<std::int64_t>(FPos);
            FPos = 0;
        }
        std::erase_if(FRecent, [&](const Recent& r) {
            return r.Frame + std::int64_t(FSounds[r.Id].size()) < FBase + std::int64_t(FPos);
        });
    }

    // Starts found since the last call, in time order.
    std::vector<ToneOnset> TakeOnsets() {
        std::vector<ToneOnset> out;
        out.swap(FOnsets);
        return out;
    }
    const std::vector<ToneFault>& Faults() const { return FFaults; }
    // Mix frames that no sound explains.
    std::int64_t UnexplainedFrames() const { return FUnexplained; }
    // Frames fed, and frames up to which every start has been decided.
    std::int64_t FedFrames() const { return FFed; }
    std::int64_t DecidedFrames() const { return FBase + static_cast<std::int64_t>(FPos); }

private:
    static constexpr std::size_t kWindow = 64;  // samples compared to tell same-frame starts apart
    static constexpr int kMaxTogether = 4;      // starts on one frame looked for

    struct Recent {
        int Id;
        std::int64_t Frame;
        bool Cut;
    };

    std::int64_t FrameAt(std::size_t Index) const { return FBase + static_cast<std::int64_t>(Index); }

    // How many samples from Index on equal the sum of Ids' sounds.
    int Exactness(std::size_t Index, const std::vector<int>& Ids, std::size_t Limit) const {
        std::size_t k = 0;
        for (; k < Limit && Index + k < FRes.size(); ++k) {
            std::int32_t sum = 0;
            for (int id : Ids)
                if (k < FSounds[id].size()) sum += FSounds[id][k];
            if (FRes[Index + k] != sum) break;
        }
        return static_cast<int>(k);
    }

    void Subtract(std::size_t Index, int Id, std::size_t From = 0, int Sign = 1) {
        const std::vector<std::int16_t>& s = FSounds[Id];
        const std::size_t end = std::min(s.size() - From, FRes.size() - Index);
        for (std::size_t k = 0; k < end; ++k) FRes[Index + k] -= Sign * s[From + k];
        if (end < s.size() - From)
            Fault(FrameAt(Index + end), 'e', "sound " + std::to_string(Id) + " runs past the end");
    }

    void Found(std::size_t Index, int Id, int Exact) {
        FOnsets.push_back({Id, FrameAt(Index), Exact});
        FRecent.push_back({Id, FrameAt(Index), false});
        Subtract(Index, Id);
    }

    // Sets of up to kMaxTogether sounds whose first samples sum to Value.
    void Sets(int Value, int From, std::vector<int>& Set, std::vector<std::vector<int>>& Out) const {
        if (Value == 0 && Set.size() >= 2) Out.push_back(Set);
        if (Value <= 0 || static_cast<int>(Set.size()) == kMaxTogether) return;
        for (int id = From; id < static_cast<int>(FSounds.size()); ++id) {
            Set.push_back(id);
            Sets(Value - FSounds[id][0], id + 1, Set, Out);
            Set.pop_back();
        }
    }

    void Explain(std::size_t Index) {
        const std::int32_t value = FRes[Index];
        if (auto it = FByFirst.find(value); it != FByFirst.end()) {
            Found(Index, it->second, Exactness(Index, {it->second}, FSounds[it->second].size()));
            return;
        }
        if (value >= FLeastPair) {
            std::vector<std::vector<int>> sets;
            std::vector<int> set;
            Sets(value, 0, set, sets);
            int best = -1, bestExact = -1;
            bool tie = false;
            for (std::size_t i = 0; i < sets.size(); ++i) {
                const int e = Exactness(Index, sets[i], kWindow);
                if (e > bestExact) {
                    best = static_cast<int>(i), bestExact = e, tie = false;
                } else if (e == bestExact) {
                    tie = true;
                }
            }
            if (best >= 0 && !tie && bestExact > 1) {
                for (int id : sets[best]) {
                    FOnsets.push_back({id, FrameAt(Index), bestExact});
                    FRecent.push_back({id, FrameAt(Index), false});
                    Subtract(Index, id);
                }
                return;
            }
        }
        // A sound stopped early: its tail, subtracted whole, shows negated.
        for (Recent& r : FRecent) {
            const std::int64_t k = FrameAt(Index) - r.Frame;
            if (r.Cut || k <= 0 || k >= std::int64_t(FSounds[r.Id].size())) continue;
            const std::int32_t rest = value + FSounds[r.Id][static_cast<std::size_t>(k)];
            if (rest != 0 && !FByFirst.count(rest)) continue;
            r.Cut = true;
            Subtract(Index, r.Id, static_cast<std::size_t>(k), -1);
            Fault(FrameAt(Index), 's',
                  "sound " + std::to_string(r.Id) + " stopped after " + std::to_string(k) + " of " +
                      std::to_string(FSounds[r.Id].size()) + " frames");
            return;
        }
        Fault(FrameAt(Index), 'u', "unexplained samples, the first " + std::to_string(value));
        ++FUnexplained;
        FRes[Index] = 0;
    }

    // Faults of one kind within a short stretch are one fault.
    void Fault(std::int64_t Frame, char Kind, const std::string& What) {
        if (!FFaults.empty() && FLastKind == Kind && Kind != 's' && Frame <= FFaults.back().To + 64) {
            FFaults.back().To = std::max(FFaults.back().To, Frame + 1);
            return;
        }
        FLastKind = Kind;
        if (FFaults.size() < 1000) FFaults.push_back({Frame, Frame + 1, What});
    }

    std::vector<std::vector<std::int16_t>> FSounds;
    std::map<int, int> FByFirst;
    std::size_t FMaxLength = 0;
    int FLeastPair = 0;
    std::vector<std::int32_t> FRes;  // what is left of the mix from frame FBase on
    std::int64_t FBase = 0;
    std::size_t FPos = 0;  // everything before it is zero
    std::int64_t FFed = 0;
    std::int64_t FUnexplained = 0;
    std::vector<ToneOnset> FOnsets;
    std::vector<Recent> FRecent;
    std::vector<ToneFault> FFaults;
    char FLastKind = 0;
};
