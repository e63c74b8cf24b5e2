// Dovela GSM device pages: tabs, one-at-a-time requests to the device, status, settings and
// actions. Every request is a POST of a form-encoded body; the answer is a JSON object.
(function () {
  "use strict";

  function $(id) { return document.getElementById(id); }

  // ---- Requests: a queue, so the device only ever gets one request at a time ----

  var queue = [];
  var running = false;

  // Queues a POST of params (an object) to path; done(result) gets
  // { ok: true, data: answer } or { ok: false, data: answer or null, error: Czech text }.
  function send(path, params, done) {
    queue.push({ path: path, params: params || {}, done: done });
    runNext();
  }

  function encodeForm(params) {
    var pairs = [];
    Object.keys(params).forEach(function (key) {
      pairs.push(encodeURIComponent(key) + "=" + encodeURIComponent(params[key]));
    });
    return pairs.join("&");
  }

  function runNext() {
    if (running || queue.length === 0) { updateBusy(); return; }
    running = true;
    updateBusy();
    var item = queue.shift();
    var xhr = new XMLHttpRequest();
    xhr.open("POST", item.path);
    xhr.setRequestHeader("Content-Type", "application/x-www-form-urlencoded");
    xhr.timeout = 40000;  // the bridge gives up after 30 s; this only catches a stuck connection
    var timedOut = false;
    xhr.ontimeout = function () { timedOut = true; };
    xhr.onloadend = function () {
      var result = timedOut ? { ok: false, data: null, error: "Zařízení neodpovědělo." }
                            : readAnswer(xhr);
      running = false;
      try { item.done(result); } finally { runNext(); }
    };
    xhr.send(encodeForm(item.params));
  }

  // Turns the HTTP answer into a result: empty, non-JSON and HTTP errors become messages.
  function readAnswer(xhr) {
    if (xhr.status === 0) return { ok: false, data: null, error: "Spojení s programem selhalo." };
    if (xhr.status !== 200) {
      return { ok: false, data: null, error: "Chyba HTTP " + xhr.status + (xhr.statusText ? " (" + xhr.statusText + ")" : "") + "." };
    }
    var text = (xhr.responseText || "").trim();
    if (text === "") return { ok: false, data: null, error: "Zařízení neodpovědělo." };
    var data;
    try { data = JSON.parse(text); } catch (e) { data = null; }
    if (!data || typeof data !== "object" || Array.isArray(data)) {
      return { ok: false, data: null, error: "Neplatná odpověď zařízení." };
    }
    if (data.ok !== true) {
      return { ok: false, data: data, error: typeof data.error === "string" && data.error ? data.error : "Zařízení požadavek odmítlo." };
    }
    return { ok: true, data: data };
  }

  // While a request runs: spinner in the header, every button that sends is disabled.
  function updateBusy() {
    var busy = running || queue.length > 0;
    $("busy").hidden = !busy;
    $("status-text").hidden = busy;
    var buttons = document.querySelectorAll("[data-sends]");
    for (var i = 0; i < buttons.length; i++) {
      var button = buttons[i];
      button.disabled = busy || (button.id === "config-save" && !canSave());
    }
  }

  function now() {
    var d = new Date();
    function two(n) { return (n < 10 ? "0" : "") + n; }
    return two(d.getHours()) + ":" + two(d.getMinutes()) + ":" + two(d.getSeconds());
  }

  // The small line under the device name: the last thing that happened.
  function setStatusLine(text, failed) {
    $("status-text").textContent = text;
    $("status-line").classList.toggle("failed", !!failed);
  }

  function showMessage(element, text, kind) {
    element.textContent = text || "";
    element.className = "message" + (kind ? " " + kind : "");
    element.hidden = !text;
  }

  // ---- Tabs, chosen by the URL hash (#stav, #nastaveni, #akce) ----

  var tabs = ["stav", "nastaveni", "akce"];

  function showTab() {
    var name = location.hash.replace("#", "");
    if (tabs.indexOf(name) < 0) name = "stav";
    tabs.forEach(function (tab) { $("tab-" + tab).hidden = tab !== name; });
    var links = document.querySelectorAll(".tab");
    for (var i = 0; i < links.length; i++) {
      var active = links[i].getAttribute("data-tab") === name;
      links[i].classList.toggle("active", active);
      links[i].setAttribute("aria-selected", active ? "true" : "false");
    }
    // The settings are read when their tab is first shown, so the status page's buttons
    // work after one exchange with the device instead of waiting for a second one.
    if (name === "nastaveni" && !configAsked) {
      configAsked = true;
      loadConfig();
    }
  }

  // ---- Stav ----

  var registrationNames = {
    home: ["V domácí síti", "on"],
    roaming: ["V roamingu", "on"],
    searching: ["Hledá síť", ""],
    denied: ["Registrace zamítnuta", "warn"]
  };
  var signalNames = ["žádný", "velmi slabý", "slabý", "dobrý", "velmi dobrý", "výborný"];

  function text(value) {
    return value === undefined || value === null || value === "" ? "–" : String(value);
  }

  function number(value, decimals) {
    if (typeof value !== "number" || !isFinite(value)) return null;
    var factor = Math.pow(10, decimals);
    return String(Math.round(value * factor) / factor).replace(".", ",").replace("-", "−");
  }

  function uptime(seconds) {
    if (typeof seconds !== "number" || !isFinite(seconds) || seconds < 0) return "–";
    var minutes = Math.floor(seconds / 60);
    var days = Math.floor(minutes / 1440);
    var hours = Math.floor(minutes / 60) % 24;
    minutes = minutes % 60;
    return (days ? days + " d " : "") + (days || hours ? hours + " h " : "") + minutes + " min";
  }

  function badge(label, kind) {
    var span = document.createElement("span");
    span.className = "state" + (kind ? " " + kind : "");
    span.textContent = label;
    return span;
  }

  function setBadge(id, label, kind) {
    var element = $(id);
    element.textContent = "";
    element.appendChild(badge(label, kind));
  }

  function renderStatus(s) {
    $("s-imei").textContent = text(s.imei);
    $("s-firmware").textContent = text(s.firmware);
    $("s-serial").textContent = text(s.serial);
    $("s-uptime").textContent = uptime(s.uptime);
    $("s-operator").textContent = text(s.operator);

    var signal = s.signal || {};
    var bars = typeof signal.bars === "number" ? Math.max(0, Math.min(5, Math.round(signal.bars))) : 0;
    var barElements = $("s-bars").children;
    for (var i = 0; i < barElements.length; i++) barElements[i].classList.toggle("on", i < bars);
    var rssi = number(signal.rssi, 0);
    $("s-signal").textContent = typeof signal.bars === "number"
      ? signalNames[bars] + " (" + bars + "/5" + (rssi !== null ? ", " + rssi + " dBm" : "") + ")"
      : (rssi !== null ? rssi + " dBm" : "–");

    var registration = registrationNames[s.registration];
    if (registration) setBadge("s-registration", registration[0], registration[1]);
    else $("s-registration").textContent = text(s.registration);

    var power = s.power || {};
    $("s-source").textContent = power.source === "mains" ? "Síťové napájení"
      : power.source === "battery" ? "Baterie" : text(power.source);
    var battery = number(power.battery, 0);
    $("s-battery").textContent = battery !== null ? battery + " %" : "–";
    var voltage = number(power.voltage, 2);
    $("s-voltage").textContent = voltage !== null ? voltage + " V" : "–";

    var list = $("s-inputs");
    list.textContent = "";
    var inputs = Array.isArray(s.inputs) ? s.inputs.slice() : [];
    inputs.sort(function (a, b) { return (a && a.id) - (b && b.id); });
    inputs.forEach(function (input) {
      if (!input) return;
      var dt = document.createElement("dt");
      dt.textContent = "Vstup " + text(input.id);
      var dd = document.createElement("dd");
      dd.appendChild(input.active ? badge("Aktivní", "on") : badge("Neaktivní", ""));
      list.appendChild(dt);
      list.appendChild(dd);
    });
    if (inputs.length === 0) {
      var none = document.createElement("dd");
      none.textContent = "Zařízení neposlalo stav vstupů.";
      list.appendChild(none);
    }
  }

  function loadStatus() {
    send("/status.json", {}, function (result) {
      if (result.ok) {
        renderStatus(result.data);
        showMessage($("status-error"), "");
        setStatusLine("Stav načten v " + now());
      } else {
        showMessage($("status-error"), "Stav se nepodařilo načíst: " + result.error, "error");
        setStatusLine(result.error, true);
      }
    });
  }

  // ---- Nastavení ----

  var config = null;          // the device's settings as last read; null until loaded
  var configAsked = false;    // whether they were asked for yet
  var maxPhones = 5;
  var textKeys = ["apn", "apnUser", "apnPassword", "simPin", "smsCentre",
                  "alarm1", "alarm2", "alarm3", "alarm4", "output1", "output2", "reportInterval"];
  var outputModes = [["off", "Vypnuto"], ["on", "Zapnuto"], ["pulse", "Puls"], ["alarm", "Alarm"]];

  function field(key) { return $("f-" + key); }

  function configValue(key) {
    if (key === "phones") return (Array.isArray(config.phones) ? config.phones : []).join(",");
    var value = config[key];
    return value === undefined || value === null ? "" : String(value);
  }

  function formValue(key) {
    if (key === "phones") return phoneValues().join(",");
    var value = field(key).value;
    return key === "apnPassword" || key === "alarm1" || key === "alarm2" ||
           key === "alarm3" || key === "alarm4" ? value : value.trim();
  }

  function phoneValues() {
    var inputs = $("phone-rows").querySelectorAll("input");
    var values = [];
    for (var i = 0; i < inputs.length; i++) {
      var value = inputs[i].value.trim();
      if (value) values.push(value);
    }
    return values;
  }

  function setOutputOptions(select, value) {
    select.textContent = "";
    var modes = outputModes.slice();
    var known = modes.some(function (mode) { return mode[0] === value; });
    if (!known && value) modes.push([value, value]);  // keep a mode this page does not know
    modes.forEach(function (mode) {
      var option = document.createElement("option");
      option.value = mode[0];
      option.textContent = mode[1];
      select.appendChild(option);
    });
    select.value = value;
  }

  function addPhoneRow(value) {
    var row = document.createElement("div");
    row.className = "phone";
    var input = document.createElement("input");
    input.type = "tel";
    input.placeholder = "+420…";
    input.spellcheck = false;
    input.value = value || "";
    input.setAttribute("aria-label", "Telefonní číslo");
    var remove = document.createElement("button");
    remove.type = "button";
    remove.className = "small";
    remove.textContent = "Odebrat";
    remove.addEventListener("click", function () {
      row.parentNode.removeChild(row);
      updatePhoneRows();
      updateChanges();
    });
    row.appendChild(input);
    row.appendChild(remove);
    $("phone-rows").appendChild(row);
    updatePhoneRows();
    return input;
  }

  function updatePhoneRows() {
    var rows = $("phone-rows");
    var count = rows.querySelectorAll(".phone").length;
    $("phone-add").disabled = count >= maxPhones || !config;
    var empty = rows.querySelector(".empty");
    if (count === 0 && !empty) {
      empty = document.createElement("div");
      empty.className = "empty";
      empty.textContent = "Žádné číslo není zadáno.";
      rows.appendChild(empty);
    } else if (count > 0 && empty) {
      rows.removeChild(empty);
    }
  }

  function fillForm(c) {
    config = c || {};
    textKeys.forEach(function (key) {
      if (key === "output1" || key === "output2") setOutputOptions(field(key), configValue(key));
      else field(key).value = configValue(key);
    });
    $("phone-rows").textContent = "";
    (Array.isArray(config.phones) ? config.phones : []).forEach(function (phone) { addPhoneRow(phone); });
    updatePhoneRows();
    updateChanges();
  }

  // The settings that differ from what the device sent, as /set.json keys and values.
  function changes() {
    var changed = {};
    if (!config) return changed;
    textKeys.concat(["phones"]).forEach(function (key) {
      if (formValue(key) !== configValue(key)) changed[key] = formValue(key);
    });
    return changed;
  }

  function canSave() { return !!config && Object.keys(changes()).length > 0; }

  function updateChanges() {
    var changed = changes();
    textKeys.forEach(function (key) { field(key).classList.toggle("changed", key in changed); });
    var phoneInputs = $("phone-rows").querySelectorAll("input");
    for (var i = 0; i < phoneInputs.length; i++) phoneInputs[i].classList.toggle("changed", "phones" in changed);
    var count = Object.keys(changed).length;
    $("config-changes").textContent = !config ? "" : count === 0 ? "Žádné neuložené změny"
      : "Neuložené změny: " + count;
    updateBusy();
  }

  function setFormEnabled(enabled) {
    var sets = $("config-form").querySelectorAll("fieldset");
    for (var i = 0; i < sets.length; i++) sets[i].disabled = !enabled;
  }

  function clearErrors() {
    var errors = document.querySelectorAll("#config-form .field-error");
    for (var i = 0; i < errors.length; i++) errors[i].textContent = "";
    var invalid = document.querySelectorAll("#config-form .invalid");
    for (var j = 0; j < invalid.length; j++) invalid[j].classList.remove("invalid");
  }

  // Shows each of the device's field messages beside its field; returns the ones with no field.
  function showErrors(errors) {
    var unplaced = [];
    Object.keys(errors || {}).forEach(function (key) {
      var place = document.querySelector('#config-form [data-error-for="' + key + '"]');
      if (!place) { unplaced.push(String(errors[key])); return; }
      place.textContent = String(errors[key]);
      var inputs = key === "phones" ? $("phone-rows").querySelectorAll("input") : [field(key)];
      for (var i = 0; i < inputs.length; i++) if (inputs[i]) inputs[i].classList.add("invalid");
    });
    return unplaced;
  }

  function loadConfig() {
    setFormEnabled(false);
    send("/config.json", {}, function (result) {
      if (result.ok && result.data.config && typeof result.data.config === "object") {
        clearErrors();
        fillForm(result.data.config);
        setFormEnabled(true);
        showMessage($("config-error"), "");
        showMessage($("config-message"), "");
        setStatusLine("Nastavení načteno v " + now());
      } else {
        var error = result.ok ? "Neplatná odpověď zařízení." : result.error;
        showMessage($("config-error"), "Nastavení se nepodařilo načíst: " + error, "error");
        setStatusLine(error, true);
        if (config) setFormEnabled(true);  // keep the earlier values editable
      }
    });
  }

  function saveConfig() {
    var changed = changes();
    if (Object.keys(changed).length === 0) return;
    clearErrors();
    showMessage($("config-message"), "");
    setFormEnabled(false);
    send("/set.json", changed, function (result) {
      setFormEnabled(true);
      if (result.ok) {
        if (result.data.config && typeof result.data.config === "object") fillForm(result.data.config);
        else loadConfig();  // the answer lacks the settings; read them again
        showMessage($("config-message"), "Nastavení uloženo", "ok");
        setStatusLine("Nastavení uloženo v " + now());
      } else {
        var unplaced = showErrors(result.data && result.data.errors);
        var text = result.error;
        if (unplaced.length) text += " " + unplaced.join(" ");
        showMessage($("config-message"), text, "error");
        setStatusLine("Nastavení nebylo uloženo.", true);
      }
    });
  }

  // ---- Akce ----

  function askRestart(asking) {
    $("restart-ask").hidden = asking;
    $("restart-confirm").hidden = !asking;
  }

  function restart() {
    askRestart(false);
    showMessage($("restart-message"), "");
    send("/restart.json", {}, function (result) {
      if (result.ok) {
        showMessage($("restart-message"), result.data.message || "Zařízení se restartuje.", "ok");
        setStatusLine("Restart odeslán v " + now());
      } else {
        showMessage($("restart-message"), result.error, "error");
        setStatusLine(result.error, true);
      }
    });
  }

  function sendTestSms() {
    var phone = $("sms-phone").value.trim();
    $("sms-phone-error").textContent = "";
    $("sms-phone").classList.remove("invalid");
    showMessage($("sms-message"), "");
    if (!phone) {
      $("sms-phone-error").textContent = "Zadejte telefonní číslo.";
      $("sms-phone").classList.add("invalid");
      return;
    }
    send("/testsms.json", { phone: phone }, function (result) {
      if (result.ok) {
        showMessage($("sms-message"), result.data.message || "Testovací SMS odeslána.", "ok");
        setStatusLine("Testovací SMS odeslána v " + now());
      } else if (result.data && result.data.errors && result.data.errors.phone) {
        $("sms-phone-error").textContent = String(result.data.errors.phone);
        $("sms-phone").classList.add("invalid");
        setStatusLine("Testovací SMS nebyla odeslána.", true);
      } else {
        showMessage($("sms-message"), result.error, "error");
        setStatusLine(result.error, true);
      }
    });
  }

  // ---- Start ----

  setOutputOptions(field("output1"), "");
  setOutputOptions(field("output2"), "");
  updatePhoneRows();
  $("show-password").addEventListener("change", function () {
    field("apnPassword").type = this.checked ? "text" : "password";
  });
  $("config-form").addEventListener("input", updateChanges);
  $("config-form").addEventListener("change", updateChanges);
  $("config-form").addEventListener("submit", function (event) { event.preventDefault(); });
  $("phone-add").addEventListener("click", function () {
    addPhoneRow("").focus();
    updateChanges();
  });
  $("status-refresh").addEventListener("click", loadStatus);
  $("config-reload").addEventListener("click", loadConfig);
  $("config-save").addEventListener("click", saveConfig);
  $("restart").addEventListener("click", function () { askRestart(true); });
  $("restart-no").addEventListener("click", function () { askRestart(false); });
  $("restart-yes").addEventListener("click", restart);
  $("sms-send").addEventListener("click", sendTestSms);
  $("sms-phone").addEventListener("keydown", function (event) {
    if (event.key === "Enter" && !$("sms-send").disabled) sendTestSms();
  });
  window.addEventListener("hashchange", showTab);

  showTab();
  loadStatus();
})();
