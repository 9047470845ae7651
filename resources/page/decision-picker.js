(function () {
  'use strict';
  var pickers = Array.prototype.slice.call(document.querySelectorAll('.dpick'));
  if (pickers.length === 0) return;

  var handlers = window.webkit && window.webkit.messageHandlers;
  var decide = handlers && handlers.quarryDecide;

  pickers.forEach(function (picker) {
    var go = picker.querySelector('.etcbox .go');
    if (go) go.textContent = '이걸로 고르기';
  });

  function buttonIn(picker, event) {
    if (!(event.target instanceof Element)) return null;
    var button = event.target.closest('button');
    return button && picker.contains(button) ? button : null;
  }

  function browserMode() {
    document.body.classList.add('inbrowser');

    var overlay = document.createElement('div');
    overlay.className = 'askapp';
    overlay.hidden = true;
    var box = document.createElement('div');
    box.className = 'askapp-box';
    box.setAttribute('role', 'dialog');
    box.setAttribute('aria-modal', 'true');
    box.setAttribute('aria-labelledby', 'askapp-heading');
    var heading = document.createElement('h2');
    heading.id = 'askapp-heading';
    heading.textContent = '앱에서 선택해 주세요';
    var text = document.createElement('p');
    text.textContent = '결정은 quarrystone 앱에서 고를 수 있어요.';
    var ok = document.createElement('button');
    ok.type = 'button';
    ok.textContent = '확인';
    box.appendChild(heading);
    box.appendChild(text);
    box.appendChild(ok);
    overlay.appendChild(box);
    document.body.appendChild(overlay);

    // The button that opened the dialog gets the focus back when it closes.
    var opener = null;

    function close() {
      if (overlay.hidden) return;
      overlay.hidden = true;
      if (opener) opener.focus();
      opener = null;
    }
    ok.addEventListener('click', close);
    overlay.addEventListener('click', function (event) {
      if (event.target === overlay) close();
    });
    // A modal dialog keeps the focus: its one button is all Tab can reach.
    document.addEventListener('keydown', function (event) {
      if (overlay.hidden) return;
      if (event.key === 'Escape') close();
      if (event.key === 'Tab') {
        event.preventDefault();
        ok.focus();
      }
    });
    document.addEventListener('focusin', function (event) {
      if (!overlay.hidden && !box.contains(event.target)) ok.focus();
    });

    pickers.forEach(function (picker) {
      picker.addEventListener('click', function (event) {
        var button = buttonIn(picker, event);
        if (!button) return;
        event.preventDefault();
        opener = button;
        overlay.hidden = false;
        ok.focus();
      });
    });
  }

  function appMode() {
    document.body.classList.add('inapp');
    var picks = new Map();
    var etcLabels = new Map();

    function idOf(picker) { return picker.getAttribute('data-id') || ''; }

    function paint(picker) {
      var pick = picks.get(idOf(picker));
      picker.querySelectorAll(':scope > .opt').forEach(function (button) {
        var chosen = !!pick && pick.choice !== undefined && pick.choice === button.getAttribute('data-o');
        button.classList.toggle('sel', chosen);
      });
      var etc = picker.querySelector(':scope > .etc');
      if (!etc) return;
      var written = !!pick && pick.text !== undefined;
      etc.classList.toggle('sel', written);
      etc.textContent = written ? '기타: ' + pick.text : etcLabels.get(picker);
    }

    function setPick(picker, pick) {
      var id = idOf(picker);
      if (pick) picks.set(id, pick); else picks.delete(id);
      var body = { id: id };
      if (!pick) body.clear = true;
      else if (pick.choice !== undefined) body.choice = pick.choice;
      else body.text = pick.text;
      decide.postMessage(body);
      // Two pickers can carry the same decision id; both show the one pick.
      pickers.forEach(function (other) { if (idOf(other) === id) paint(other); });
    }

    pickers.forEach(function (picker) {
      var etc = picker.querySelector(':scope > .etc');
      if (etc) etcLabels.set(picker, etc.textContent);

      picker.querySelectorAll(':scope > .opt').forEach(function (button) {
        button.addEventListener('click', function () {
          var option = button.getAttribute('data-o') || '';
          var pick = picks.get(idOf(picker));
          setPick(picker, pick && pick.choice === option ? null : { choice: option });
        });
      });

      var box = picker.querySelector(':scope > .etcbox');
      var area = box && box.querySelector('textarea');
      if (!etc || !box || !area) return;
      etc.addEventListener('click', function () {
        var pick = picks.get(idOf(picker));
        area.value = pick && pick.text !== undefined ? pick.text : '';
        box.hidden = false;
        area.focus();
      });
      var no = box.querySelector('.no');
      if (no) no.addEventListener('click', function () { box.hidden = true; });
      var go = box.querySelector('.go');
      if (go) go.addEventListener('click', function () {
        box.hidden = true;
        var text = area.value.trim();
        setPick(picker, text ? { text: text } : null);
      });
    });
  }

  if (decide) appMode(); else browserMode();
})();
