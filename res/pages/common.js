// The page's status scripts. Native code calls <element id>_Status_Script(code) after it changes
// an element, with code "1" enabled, "2" disabled, "3" hidden, "4" visible or "5" contents
// changed; the script brings what the user sees in line with the element. An unknown code or a
// missing element changes nothing.
'use strict';

var QV_STATUS_ENABLED = '1';
var QV_STATUS_DISABLED = '2';
var QV_STATUS_HIDDEN = '3';
var QV_STATUS_VISIBLE = '4';
var QV_STATUS_CHANGED = '5';

// Image buttons are drawn by Button.js over the hidden input buttons.
function QvButtonStatus(id, code) {
  var input = document.getElementById(id);
  if (!input) return;
  switch (String(code)) {
    case QV_STATUS_ENABLED:
      MakeBtnEnable(id);
      break;
    case QV_STATUS_DISABLED:
      MakeBtnDisable(id);
      break;
    case QV_STATUS_HIDDEN:
      QvShowImageButton(id, false);
      break;
    case QV_STATUS_VISIBLE:
      QvShowImageButton(id, true);
      break;
    case QV_STATUS_CHANGED:
      // A button whose value was set shows it as its label.
      if (input.value !== '') QvSetImageButtonLabel(id, input.value);
      break;
  }
}

// Text boxes and lists are shown as they are; their status only mirrors state into style.
function QvFieldStatus(id, code) {
  var element = document.getElementById(id);
  if (!element) return;
  switch (String(code)) {
    case QV_STATUS_ENABLED:
      element.disabled = false;
      break;
    case QV_STATUS_DISABLED:
      element.disabled = true;
      break;
    case QV_STATUS_HIDDEN:
      element.style.visibility = 'hidden';
      break;
    case QV_STATUS_VISIBLE:
      element.style.visibility = 'visible';
      break;
    case QV_STATUS_CHANGED:
      break;
  }
}

function Quorvin_BtnAddUser_Status_Script(code) {
  QvButtonStatus('Quorvin_BtnAddUser', code);
}
function Quorvin_BtnRemoveUser_Status_Script(code) {
  QvButtonStatus('Quorvin_BtnRemoveUser', code);
}
function Quorvin_BtnOK_Status_Script(code) {
  QvButtonStatus('Quorvin_BtnOK', code);
}
function Quorvin_BtnCancel_Status_Script(code) {
  QvButtonStatus('Quorvin_BtnCancel', code);
}
function Quorvin_EditUserName_Status_Script(code) {
  QvFieldStatus('Quorvin_EditUserName', code);
}
function Quorvin_CmbUsers_Status_Script(code) {
  QvFieldStatus('Quorvin_CmbUsers', code);
}
function Quorvin_CmbLookIn_Status_Script(code) {
  QvFieldStatus('Quorvin_CmbLookIn', code);
}
