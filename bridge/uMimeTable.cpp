#include "bridge/uMimeTable.h"

#include <fstream>
#include <sstream>
#include <system_error>

#include "ci/uStrUtils.h"

namespace uMimeTable {

namespace {

using uStrUtils::AsciiLower;

using TRows = std::vector<std::pair<std::string, std::string>>;

// Sets the type of every extension listed in the file: on the rows already there with that
// extension, else on a new row at the end.
void MergePlatformTypes(const std::filesystem::path& file, TRows& rows) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(file, error)) return;  // also keeps FIFOs out
  std::ifstream in(file);
  if (!in) return;

  std::unordered_map<std::string, std::vector<std::size_t>> rowsByExtension;
  for (std::size_t i = 0; i < rows.size(); ++i)
    rowsByExtension[AsciiLower(rows[i].first)].push_back(i);

  std::string line;
  while (std::getline(in, line)) {
    if (const auto hash = line.find('#'); hash != std::string::npos) line.resize(hash);
    std::istringstream words(line);
    std::string type;
    if (!(words >> type)) continue;
    for (std::string extension; words >> extension;) {
      if (extension.front() == '.') extension.erase(0, 1);
      if (extension.empty()) continue;
      const std::string key = "." + AsciiLower(extension);
      auto [found, added] = rowsByExtension.try_emplace(key);
      if (added) {
        found->second.push_back(rows.size());
        rows.emplace_back(key, type);
      } else {
        for (const std::size_t i : found->second) rows[i].second = type;
      }
    }
  }
}

}  // namespace

const TRows& TMimeTable::BuiltInRows() {
  static const TRows rows = {
      {".aiff", "audio/x-aiff"},
      {".au", "audio/basic"},
      {".mid", "audio/midi"},
      {".mp3", "audio/mpeg"},
      {".m3u", "audio/x-mpegurl"},
      {".qcp", "audio/vnd.qcelp"},
      {".ra", "audio/vnd.rn-realaudio"},
      {".wav", "audio/wav"},
      {".gsm", "audio/x-gsm"},
      {".wax", "audio/x-ms-wax"},
      {".wma", "audio/x-ms-wma"},
      {".ram", "audio/x-pn-realaudio"},
      {".mjf", "audio/x-vnd.audioexplosion.mjuicemediafile"},
      {".bmp", "image/bmp"},
      {".gif", "image/gif"},
      {".jpg", "image/jpeg"},
      {".jpeg", "image/jpeg"},
      {".jpe", "image/jpeg"},
      {".pict", "image/pict"},
      {".png", "image/x-png"},
      {".svg", "image/svg-xml"},
      {".tif", "image/tiff"},
      {".rf", "image/vnd.rn-realflash"},
      {".rp", "image/vnd.rn-realpix"},
      {".ico", "image/x-icon"},
      {".art", "image/x-jg"},
      {".pntg", "image/x-macpaint"},
      {".qtif", "image/x-quicktime"},
      {".sgi", "image/x-sgi"},
      {".targa", "image/x-targa"},
      {".xbm", "image/xbm"},
      {".psd", "image/vnd.adobe.photoshop"},
      {".pnm", "image/x-portable-anymap"},
      {".pbm", "image/x-portable-bitmap"},
      {".pgm", "image/x-portable-graymap"},
      {".ppm", "image/x-portable-pixmap"},
      {".rgb", "image/x-rgb"},
      {".xbm", "image/x-xbitmap"},
      {".xpm", "image/x-xpixmap"},
      {".xwd", "image/x-xwindowdump"},
      {".323", "text/h323"},
      {".xml", "text/xml"},
      {".uls", "text/iuls"},
      {".txt", "text/plain"},
      {".rtx", "text/richtext"},
      {".wsc", "text/scriptlet"},
      {".rt", "text/vnd.rn-realtext"},
      {".htt", "text/webviewhtml"},
      {".htc", "text/x-component"},
      {".vcf", "text/x-vcard"},
      {".avi", "video/x-msvideo"},
      {".flc", "video/flc"},
      {".mpeg", "video/mpeg"},
      {".mov", "video/quicktime"},
      {".rv", "video/vnd.rn-realvideo"},
      {".ivf", "video/x-ivf"},
      {".wm", "video/x-ms-wm"},
      {".wmp", "video/x-ms-wmp"},
      {".wmv", "video/x-ms-wmv"},
      {".wmx", "video/x-ms-wmx"},
      {".wvx", "video/x-ms-wvx"},
      {".rms", "video/vnd.rn-realvideo-secure"},
      {".asx", "video/x-ms-asf"},
      {".movie", "video/x-sgi-movie"},
      {".wmd", "application/x-ms-wmd"},
      {".wms", "application/x-ms-wms"},
      {".wmz", "application/x-ms-wmz"},
      {".p12", "application/x-pkcs12"},
      {".p7b", "application/x-pkcs7-certificates"},
      {".p7r", "application/x-pkcs7-certreqresp"},
      {".qtl", "application/x-quicktimeplayer"},
      {".rtsp", "application/x-rtsp"},
      {".swf", "application/x-shockwave-flash"},
      {".sit", "application/x-stuffit"},
      {".tar", "application/x-tar"},
      {".man", "application/x-troff-man"},
      {".urls", "application/x-url-list"},
      {".zip", "application/x-zip-compressed"},
      {".cdf", "application/x-cdf"},
      {".fml", "application/x-file-mirror-list"},
      {".fif", "application/fractals"},
      {".spl", "application/futuresplash"},
      {".hta", "application/hta"},
      {".hqx", "application/mac-binhex40"},
      {".doc", "application/msword"},
      {".pdf", "application/pdf"},
      {".p10", "application/pkcs10"},
      {".p7m", "application/pkcs7-mime"},
      {".p7s", "application/pkcs7-signature"},
      {".cer", "application/x-x509-ca-cert"},
      {".crl", "application/pkix-crl"},
      {".ps", "application/postscript"},
      {".sdp", "application/sdp"},
      {".setpay", "application/set-payment-initiation"},
      {".setreg", "application/set-registration-initiation"},
      {".smil", "application/smil"},
      {".ssm", "application/streamingmedia"},
      {".xfdf", "application/vnd.adobe.xfdf"},
      {".fdf", "application/vnd.fdf"},
      {".xls", "application/vnd.ms-excel"},
      {".sst", "application/vnd.ms-pki.certstore"},
      {".pko", "application/vnd.ms-pki.pko"},
      {".cat", "application/vnd.ms-pki.seccat"},
      {".stl", "application/vnd.ms-pki.stl"},
      {".rmf", "application/vnd.rmf"},
      {".rm", "application/vnd.rn-realmedia"},
      {".rnx", "application/vnd.rn-realplayer"},
      {".rjs", "application/vnd.rn-realsystem-rjs"},
      {".rmx", "application/vnd.rn-realsystem-rmx"},
      {".rmp", "application/vnd.rn-rn_music_package"},
      {".rsml", "application/vnd.rn-rsml"},
      {".vsl", "application/x-cnet-vsl"},
      {".z", "application/x-compress"},
      {".tgz", "application/x-compressed"},
      {".dir", "application/x-director"},
      {".gz", "application/x-gzip"},
      {".uin", "application/x-icq"},
      {".hpf", "application/x-icq-hpf"},
      {".pnq", "application/x-icq-pnq"},
      {".scm", "application/x-icq-scm"},
      {".ins", "application/x-internet-signup"},
      {".iii", "application/x-iphone"},
      {".latex", "application/x-latex"},
      {".nix", "application/x-mix-transfer"},
      {".wbmp", "image/vnd.wap.wbmp"},
      {".wml", "text/vnd.wap.wml"},
      {".wmlc", "application/vnd.wap.wmlc"},
      {".wmls", "text/vnd.wap.wmlscript"},
      {".wmlsc", "application/vnd.wap.wmlscriptc"},
      {".css", "text/css"},
      {".htm", "text/html"},
      {".html", "text/html"},
      {".shtml", "server-parsed-html"},
      {".xml", "text/xml"},
      {".sgm", "text/sgml"},
      {".sgml", "text/sgml"},
  };
  return rows;
}

TMimeTable::TMimeTable(const std::filesystem::path& platformTypes) {
  TRows rows = BuiltInRows();
  MergePlatformTypes(platformTypes, rows);
  for (const auto& [extension, type] : rows) {
    if (extension.empty()) continue;
    types_.try_emplace(AsciiLower(extension), type);  // an extension already there keeps its type
  }
}

std::string TMimeTable::LookupMimeType(std::string_view fileName) const {
  const auto separator = fileName.find_last_of("/\\");
  const std::string_view name =
      separator == std::string_view::npos ? fileName : fileName.substr(separator + 1);
  const auto dot = name.rfind('.');
  if (dot == std::string_view::npos) return kDefaultMimeType;
  const auto found = types_.find(AsciiLower(name.substr(dot)));
  return found == types_.end() ? std::string(kDefaultMimeType) : found->second;
}

}  // namespace uMimeTable
